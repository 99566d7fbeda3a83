// The service main that the control dispatcher calls on the service thread (Windows build).
#pragma once

#include <cstdint>

namespace quolin {

#ifdef _WIN32
// Builds the Win32 environment on this thread's stack and runs the service in it. Nothing it
// uses is static: the dispatcher returns as soon as SERVICE_STOPPED is reported, and the
// process may exit while this thread is still unwinding.
void run_service(std::uint32_t argc, char16_t** argv);
#endif

}  // namespace quolin
