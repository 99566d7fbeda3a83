// What the Supervisor is given to reach the outside world, besides the line writer.
#pragma once

#include <cstdint>
#include <optional>

#include "launcher/host_process.h"
#include "platform/duration.h"

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
  // Answers at once: nullopt while the host runs, otherwise how it ended.
  virtual std::optional<HostExit> poll_exit(const HostProcess& host) = 0;

 protected:
  ~HostLauncher() = default;
};

class MonotonicClock {
 public:
  virtual Instant now() = 0;

 protected:
  ~MonotonicClock() = default;
};

}  // namespace quolin
