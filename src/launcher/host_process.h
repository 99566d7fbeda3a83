// The launched host and the outcome of one launch.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/owned.h"

namespace quolin {

// A host that `launch` started. Move-only; its process handle is owned here and every
// HostProcess ends in the launcher's `release` (terminate, then close).
struct HostProcess {
  platform::UniqueHandle handle;
  std::uint32_t pid = 0;
};

struct Launched {
  HostProcess host;
};

// No session is attached to the physical console: not an error.
struct NoActiveSession {};

struct LaunchFailed {
  std::string text;  // UTF-8, e.g. "CreateProcessAsUserW: <message> (0x80070002)"
};

using LaunchOutcome = std::variant<Launched, NoActiveSession, LaunchFailed>;

}  // namespace quolin
