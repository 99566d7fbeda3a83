// The platform side of the Supervisor's HostLauncher and clock, as the run loop builds them:
//
//   platform::Processes& api = platform::win32_processes();
//   ServiceHostLauncher launcher(api, resolve_host_path(api));
//   PerformanceCounterClock clock(api);
//   // hand `launcher` and `clock` to the Supervisor
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "launcher/host_process.h"
#include "launcher/session_launcher.h"
#include "platform/duration.h"
#include "platform/processes.h"
#include "supervisor/host_launcher.h"

namespace quolin {

// Answers at once whether the host has exited: nullopt while it runs (a failed wait counts as
// running too); otherwise its exit code, or no code when the system cannot give one.
std::optional<HostExit> poll_exit(platform::Processes& api, const HostProcess& host);

// The high-resolution performance counter as seconds and nanoseconds since its origin.
class PerformanceCounterClock final : public MonotonicClock {
 public:
  // Reads the counter's frequency once: it is fixed at boot.
  explicit PerformanceCounterClock(platform::Processes& api);

  Instant now() override;

 private:
  platform::Processes* api_;
  std::uint64_t frequency_;
};

// Launch and release from the session launcher, exit polls from poll_exit.
class ServiceHostLauncher final : public HostLauncher {
 public:
  ServiceHostLauncher(platform::Processes& api, std::string host_path);

  LaunchOutcome launch() override;
  void release(HostProcess host) override;
  std::optional<HostExit> poll_exit(const HostProcess& host) override;

 private:
  platform::Processes* api_;
  SessionLauncher launcher_;
};

}  // namespace quolin
