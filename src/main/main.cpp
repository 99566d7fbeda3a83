// quolin-service.exe: where everything is assembled. The Win32 platform, the service log, the
// launcher and the clock are built here and handed to the service main; main() itself only
// enters the control dispatcher. The program runs only as the service QuolinHost and does not
// read its command line.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "launcher/host_path.h"
#include "launcher/session_launcher.h"
#include "log/service_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/service_control.h"
#include "service/dispatcher.h"
#include "supervisor/run_loop.h"

namespace quolin {
namespace {

class Win32ServiceEnvironment final : public ServiceEnvironment {
 public:
  Win32ServiceEnvironment()
      : processes_(platform::win32_processes()),
        service_control_(platform::win32_service_control()),
        log_(platform::win32_files()),
        clock_(platform::win32_files()) {}

  LineWriter& log() override { return log_; }
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
