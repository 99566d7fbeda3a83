// Starts the host in the console session as the user logged on there, watches it and ends it.
//
//   SessionLauncher launcher(api, resolve_host_path(api));
//   LaunchOutcome outcome = launcher.launch();
//   if (auto* launched = std::get_if<Launched>(&outcome)) {
//     ...
//     launcher.release(std::move(launched->host));   // every host ends here
//   }
//
// Holds no policy and no state beyond the host path: it never retries, waits or logs.
#pragma once

#include <string>

#include "launcher/host_launcher.h"
#include "launcher/host_process.h"
#include "platform/processes.h"

namespace quolin {

class SessionLauncher final : public HostLauncher {
 public:
  // `host_path` is WTF-8, as resolve_host_path gives it.
  SessionLauncher(platform::Processes& api, std::string host_path);

  // One attempt: finds the console session anew, takes its user's token and environment,
  // creates the process on "winsta0\default" and places it in a job that ends it with the
  // service. Returns as soon as the process is created.
  LaunchOutcome launch() override;

  // Terminates the host with exit code 1 (it may already have exited), closes its handle, then
  // its job. Failures of these calls are ignored; it does not wait for the process to end.
  void release(HostProcess host) override;

  // A zero-time-out wait on the host's handle, then its exit code when it has ended.
  std::optional<HostExit> poll_exit(const HostProcess& host) override;

 private:
  platform::Processes* api_;
  std::string host_path_;
};

}  // namespace quolin
