// What the Supervisor is given to start, watch and end the host.
#pragma once

#include <cstdint>
#include <optional>

#include "launcher/host_process.h"

namespace quolin {

// How a host ended: its exit code, or nullopt when the platform could not report it.
struct HostExit {
  std::optional<std::uint32_t> code;
};

class HostLauncher {
 public:
  // One attempt to start the host in the console session.
  virtual LaunchOutcome launch() = 0;
  // Ends the host if it still runs (exit code 1) and frees its handle. Reports nothing.
  virtual void release(HostProcess host) = 0;
  // Answers at once: nullopt while the host runs (a failed wait counts as running too),
  // otherwise how it ended.
  virtual std::optional<HostExit> poll_exit(const HostProcess& host) = 0;

 protected:
  ~HostLauncher() = default;
};

}  // namespace quolin
