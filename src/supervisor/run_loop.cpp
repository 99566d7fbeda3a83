#include "supervisor/run_loop.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/text.h"
#include "service/control_handler.h"
#include "platform/scm_codes.h"
#include "service/service_error.h"
#include "service/service_status.h"
#include "service/wide_name.h"
#include "supervisor/supervisor.h"

namespace quolin {
namespace {

// A failure that ends the service main: its text for the last log line and the Win32 exit
// code of the final SERVICE_STOPPED report.
struct FatalError {
  std::string text;
  std::uint32_t exit_code;

  // A log write that took nothing has no system code: it exits with ERROR_WRITE_FAULT.
  static FatalError from(const LogError& e) {
    return {e.text(), e.kind == LogError::Kind::WriteZero ? platform::CODE_WRITE_FAULT : e.code};
  }
  static FatalError from(const ServiceError& e) { return {e.text(), e.win32_exit_code()}; }
};

class ServiceMain {
 public:
  explicit ServiceMain(ServiceEnvironment& env) : env_(env) {}

  void run() {
    Status<FatalError> result = start_and_loop();
    if (!result) error_exit(std::move(result).error());
  }

 private:
  Status<FatalError> write(std::string_view line) {
    Status<LogError> r = env_.log().write_line(line);
    if (!r) return fail(FatalError::from(r.error()));
    return {};
  }

  Status<FatalError> supervised(Status<LogError> r) {
    if (!r) return fail(FatalError::from(r.error()));
    return {};
  }

  Status<FatalError> report(std::uint32_t state, std::uint32_t accepted, Duration wait_hint,
                            std::uint32_t exit_code = 0) {
    ServiceStatus status;
    status.service_type = scm::SERVICE_WIN32_OWN_PROCESS;
    status.current_state = state;
    status.controls_accepted = accepted;
    status.exit_code = ServiceExitCode::win32(exit_code);
    status.checkpoint = 0;
    status.wait_hint = wait_hint;
    Status<ServiceError> r = set_service_status(env_.service_control(), *status_handle_, status);
    if (!r) return fail(FatalError::from(r.error()));
    return {};
  }

  Status<FatalError> register_handler(ControlSender sender) {
    auto handle = register_control_handler(env_.service_control(), SERVICE_NAME, std::move(sender));
    if (!handle) {
      registration_failed_ = true;
      return fail(FatalError::from(handle.error()));
    }
    status_handle_ = handle.value();
    return {};
  }

  Status<FatalError> start_and_loop() {
    if (auto r = write("service starting"); !r) return r;

    ControlChannel channel = make_control_channel();
    receiver_.emplace(std::move(channel.receiver));
    if (auto r = register_handler(std::move(channel.sender)); !r) return r;
    if (auto r = report(scm::SERVICE_RUNNING,
                        scm::SERVICE_ACCEPT_STOP | scm::SERVICE_ACCEPT_SESSIONCHANGE, Duration{});
        !r) {
      return r;
    }
    if (auto r = write("service running, awaiting SCM events"); !r) return r;

    std::string host_path = env_.resolve_host_path();
    supervisor_.emplace(env_.host_launcher(std::move(host_path)), env_.clock(), env_.log(), env_.events());
    if (auto r = supervised(supervisor_->start()); !r) return r;

    return loop();
  }

  Status<FatalError> loop() {
    for (;;) {
      Instant deadline = env_.clock().now().plus(POLL_PERIOD);
      Result<ControlMessage, ReceiveError> received = env_.receive(*receiver_, deadline);
      if (received) {
        ControlMessage& message = received.value();
        if (message.is_stop()) return stop_sequence("Stop control received, shutting down");
        const ControlMessage::SessionChange* change = message.as_session_change();
        if (auto r = supervised(supervisor_->on_session_change(change->reason, change->session_id));
            !r) {
          return r;
        }
      } else if (received.error() == ReceiveError::TimedOut) {
        if (auto r = supervised(supervisor_->on_poll_timeout()); !r) return r;
      } else {
        return stop_sequence("control channel disconnected, exiting");
      }
    }
  }

  Status<FatalError> stop_sequence(std::string_view first_line) {
    if (auto r = write(first_line); !r) return r;
    if (auto r = supervised(supervisor_->shut_down()); !r) return r;
    if (auto r = report(scm::SERVICE_STOP_PENDING, 0, STOP_PENDING_WAIT_HINT); !r) return r;
    if (auto r = write("service stopped"); !r) return r;
    if (auto r = report(scm::SERVICE_STOPPED, 0, Duration{}); !r) return r;
    receiver_.reset();
    return {};
  }

  void error_exit(const FatalError& error) {
    if (supervisor_) supervisor_->abandon();
    receiver_.reset();
    // The log may be the very thing that failed: this last attempt's own failure is ignored.
    (void)env_.log().write_line("service main exited with error: " + error.text);
    // Before the final report: once SERVICE_STOPPED is out, the process may end at any moment.
    env_.events().report(events::SERVICE_FAILED, {error.text});

    // Report the end, so that the SCM does not keep showing a running service that supervises
    // nothing, and its recovery settings can restart it. Without a status handle (the first
    // line failed before registration) register on a channel of its own just for this report.
    if (!status_handle_) {
      if (registration_failed_) return;  // nothing can report for us
      ControlChannel own = make_control_channel();
      if (!register_handler(std::move(own.sender))) return;
    }
    (void)report(scm::SERVICE_STOPPED, 0, Duration{}, error.exit_code);
  }

  ServiceEnvironment& env_;
  std::optional<ControlReceiver> receiver_;
  std::optional<platform::ServiceStatusHandle> status_handle_;
  bool registration_failed_ = false;
  std::optional<Supervisor> supervisor_;
};

}  // namespace

void run_service_main(ServiceEnvironment& env) { ServiceMain(env).run(); }

void ignore_service_arguments(std::uint32_t argc, char16_t** argv) {
  std::vector<std::string> arguments;
  arguments.reserve(argc);
  for (std::uint32_t i = 0; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) continue;  // the system never passes one; do not crash if it does
    arguments.push_back(platform::wtf8_from_utf16(std::u16string_view(argv[i])));
  }
}

}  // namespace quolin
