// Windows' numbers for service controls, replies, states and error codes, under their Windows
// names, for the platform-free code of the service.
//
// windows.h defines the same names as macros, so the constants below exist only where it has not
// been seen. The one list, QUOLIN_SCM_CODES, serves both sides: here it makes the constants, and
// service_control_win32.cpp (which includes windows.h first) checks each value against windows.h's.
#pragma once

#include <cstdint>

// X(name, value) for every code. A macro, because only a macro can name the same code once for
// both sides of windows.h.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): the one list of the codes
#define QUOLIN_SCM_CODES(X)                \
  /* Control codes delivered to the control handler. */ \
  X(SERVICE_CONTROL_STOP, 1)               \
  X(SERVICE_CONTROL_INTERROGATE, 4)        \
  X(SERVICE_CONTROL_SHUTDOWN, 5)           \
  X(SERVICE_CONTROL_SESSIONCHANGE, 14)     \
  X(SERVICE_CONTROL_PRESHUTDOWN, 15)       \
  /* Replies of the control handler, and system error codes. */ \
  X(NO_ERROR, 0)                           \
  X(ERROR_INVALID_HANDLE, 6)               \
  X(ERROR_INVALID_PARAMETER, 87)           \
  X(ERROR_CALL_NOT_IMPLEMENTED, 120)       \
  X(ERROR_INVALID_NAME, 123)               \
  X(ERROR_SERVICE_SPECIFIC_ERROR, 1066)    \
  /* Service type, states and accepted controls of a status report. */ \
  X(SERVICE_WIN32_OWN_PROCESS, 0x10)       \
  X(SERVICE_STOPPED, 1)                    \
  X(SERVICE_STOP_PENDING, 3)               \
  X(SERVICE_RUNNING, 4)                    \
  X(SERVICE_ACCEPT_STOP, 0x1)              \
  X(SERVICE_ACCEPT_SESSIONCHANGE, 0x80)

#if !defined(SERVICE_CONTROL_STOP) && !defined(NO_ERROR) && !defined(SERVICE_RUNNING)
namespace quolin::scm {
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): makes the constants from the list
#define QUOLIN_SCM_CONSTANT(name, value) inline constexpr std::uint32_t name = value;
QUOLIN_SCM_CODES(QUOLIN_SCM_CONSTANT)
#undef QUOLIN_SCM_CONSTANT
}  // namespace quolin::scm
#endif
