// Windows' numbers for service controls, replies, states and error codes, under their Windows
// names, for the platform-free code of the service.
//
// windows.h defines the same names as macros. This header must never meet it: a Win32 file uses
// windows.h's own definitions; service_control_win32.cpp reads these values before it includes
// windows.h and checks them against it.
#pragma once

#if defined(SERVICE_CONTROL_STOP) || defined(NO_ERROR) || defined(SERVICE_RUNNING)
#error "scm_codes.h repeats names that windows.h defines as macros; include only one of them"
#endif

#include <cstdint>

namespace quolin::scm {

// Control codes delivered to the control handler.
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr std::uint32_t SERVICE_CONTROL_SESSIONCHANGE = 14;
inline constexpr std::uint32_t SERVICE_CONTROL_PRESHUTDOWN = 15;

// Replies of the control handler, and system error codes.
inline constexpr std::uint32_t NO_ERROR = 0;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_SERVICE_SPECIFIC_ERROR = 1066;

// Service type, states and accepted controls of a status report.
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr std::uint32_t SERVICE_ACCEPT_SESSIONCHANGE = 0x80;

}  // namespace quolin::scm
