#include "supervisor/service_main.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "launcher/host_path.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/service_control.h"
#include "supervisor/host_watch.h"
#include "supervisor/run_loop.h"

namespace quolin {
namespace {

class Win32ServiceEnvironment final : public ServiceEnvironment {
 public:
  Win32ServiceEnvironment()
      : processes_(platform::win32_processes()),
        service_control_(platform::win32_service_control()),
        log_(platform::win32_files()),
        clock_(processes_) {}

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
  std::optional<ServiceHostLauncher> launcher_;
};

}  // namespace

void run_service(std::uint32_t argc, char16_t** argv) {
  ignore_service_arguments(argc, argv);
  Win32ServiceEnvironment env;
  run_service_main(env);
}

}  // namespace quolin
