// quolin-service.exe: where everything is assembled. The Win32 platform, the service log, the
// event source, the launcher and the clock are built here and handed to the service main; main() itself only
// enters the control dispatcher. The program runs only as the service QuolinHost and does not
// read its command line.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "launcher/host_path.h"
#include "launcher/session_launcher.h"
#include "log/event_log_sink.h"
#include "log/service_log.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/service_control.h"
#include "service/dispatcher.h"
#include "supervisor/run_loop.h"
// Made by windmc from resources/quolin-messages.mc: the identifiers of its message table.
#include "quolin-messages.h"

namespace quolin {
namespace {

// An event whose identifier is not its message's would show in Event Viewer without its text.
static_assert(message_id(events::HOST_LAUNCHED) == MSG_HOST_LAUNCHED);
static_assert(message_id(events::HOST_CRASHED) == MSG_HOST_CRASHED);
static_assert(message_id(events::CRASH_BUDGET_SPENT) == MSG_CRASH_BUDGET_SPENT);
static_assert(message_id(events::ANOTHER_INSTANCE) == MSG_ANOTHER_INSTANCE);
static_assert(message_id(events::LAUNCH_FAILED) == MSG_LAUNCH_FAILED);
static_assert(message_id(events::HOST_NOT_TIED) == MSG_HOST_NOT_TIED);
static_assert(message_id(events::HOST_ENDED) == MSG_HOST_ENDED);
static_assert(message_id(events::LOG_MOVED_ASIDE) == MSG_LOG_MOVED_ASIDE);
static_assert(message_id(events::LINE_NOT_LOGGED) == MSG_LINE_NOT_LOGGED);
static_assert(message_id(events::SERVICE_FAILED) == MSG_SERVICE_FAILED);

class Win32ServiceEnvironment final : public ServiceEnvironment {
 public:
  Win32ServiceEnvironment()
      : processes_(platform::win32_processes()),
        service_control_(platform::win32_service_control()),
        events_(platform::win32_event_log()),
        log_(platform::win32_files(), events_),
        clock_(platform::win32_files()) {}

  LineWriter& log() override { return log_; }
  EventSink& events() override { return events_; }
  MonotonicClock& clock() override { return clock_; }
  platform::ServiceControl& service_control() override { return service_control_; }
  std::string resolve_host_path() override { return quolin::resolve_host_path(processes_); }

  HostLauncher& host_launcher(std::string host_path) override {
    launcher_.emplace(processes_, std::move(host_path));
    return *launcher_;
  }

  Result<ControlMessage, ReceiveError> receive(ControlReceiver& receiver,
                                               Instant deadline) override {
    // The channel waits on its own steady clock: hand it what is left until our deadline.
    Duration left = deadline.saturating_since(clock_.now());
    return receiver.receive_for(std::chrono::seconds(left.secs) +
                                std::chrono::nanoseconds(left.nanos));
  }

 private:
  platform::Processes& processes_;
  platform::ServiceControl& service_control_;
  EventLogSink events_;  // the source is opened here, once per service start
  ServiceLog log_;
  PerformanceCounterClock clock_;
  std::optional<SessionLauncher> launcher_;
};

// The service main the dispatcher calls on the service thread. The environment lives on this
// thread's stack, nothing of it is static: the dispatcher returns as soon as SERVICE_STOPPED is
// reported, and the process may exit while this thread is still unwinding.
void run_service(std::uint32_t argc, char16_t** argv) {
  ignore_service_arguments(argc, argv);
  Win32ServiceEnvironment env;
  run_service_main(env);
}

}  // namespace
}  // namespace quolin

int main() {
  quolin::EntryResult result =
      quolin::program_entry(quolin::platform::win32_service_control(), &quolin::run_service);
  if (!result.error_output.empty()) {
    std::fwrite(result.error_output.data(), 1, result.error_output.size(), stderr);
    std::fflush(stderr);
  }
  return result.exit_status;
}
