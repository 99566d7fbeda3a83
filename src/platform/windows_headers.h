// The one place that includes <windows.h>. Only the Win32 implementation files of the
// platform layer include this header; nothing else in the program sees Windows' macros.
#pragma once

#ifndef _WIN32
#error "windows_headers.h is for the Windows build only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include "platform/system_error.h"

namespace quolin::platform {

// The failure of the Windows call just made, as every wrapper returns it: read at once, before
// any other call can change the last error.
inline Failure<SysError> last_failure() { return fail(SysError(::GetLastError())); }

}  // namespace quolin::platform
