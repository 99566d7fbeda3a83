// The launched host and the outcome of one launch.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/owned.h"

namespace quolin {

// A host that `launch` started. Move-only; its handles are owned here and every HostProcess
// ends in the launcher's `release` (terminate, then close).
struct HostProcess {
  platform::UniqueHandle handle;
  std::uint32_t pid = 0;
  // The job that ends the host when the service process ends, however it ends; none when the
  // host could not be placed in one.
  platform::UniqueHandle job;
};

struct Launched {
  HostProcess host;
  std::uint32_t session_id = 0;  // the console session it was launched into
  std::string job_error;         // empty, or why the host is not in its job (an error text)
};

// No session is attached to the physical console: not an error.
struct NoActiveSession {};

struct LaunchFailed {
  std::string text;  // UTF-8, e.g. "CreateProcessAsUserW: <message> (0x80070002)"
};

using LaunchOutcome = std::variant<Launched, NoActiveSession, LaunchFailed>;

}  // namespace quolin
