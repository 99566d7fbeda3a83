// Where the host lives: `quolin.exe` beside the service's own executable.
//
//   std::string path = resolve_host_path(platform::win32_processes());
//   SessionLauncher launcher(platform::win32_processes(), path);
#pragma once

#include <string>
#include <string_view>

#include "platform/processes.h"

namespace quolin {

inline constexpr std::string_view HOST_FILE_NAME = "quolin.exe";

// The host's full path, as WTF-8 so that an executable path holding unpaired surrogates still
// converts back to the very units Windows gave. Never fails: when the executable's own path
// cannot be read, the bare name `quolin.exe`. Writes no log.
std::string resolve_host_path(platform::Processes& api);

}  // namespace quolin
