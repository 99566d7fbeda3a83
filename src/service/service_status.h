// Status reports to the Service Control Manager.
//
//   ServiceStatus running{scm::SERVICE_WIN32_OWN_PROCESS, scm::SERVICE_RUNNING, 0x81,
//                         ServiceExitCode::win32(0), 0, Duration{}};
//   if (auto s = set_service_status(scm, handle, running); !s) return fail(s.error());
#pragma once

#include <cstdint>

#include "platform/duration.h"
#include "platform/result.h"
#include "platform/service_control.h"
#include "service/service_error.h"

namespace quolin {

// The exit code a report carries: a Win32 error code, or a code of the service's own.
struct ServiceExitCode {
  enum class Kind { Win32, ServiceSpecific };
  Kind kind = Kind::Win32;
  std::uint32_t code = 0;

  static constexpr ServiceExitCode win32(std::uint32_t code) { return {Kind::Win32, code}; }
  static constexpr ServiceExitCode service_specific(std::uint32_t code) {
    return {Kind::ServiceSpecific, code};
  }
  friend bool operator==(const ServiceExitCode&, const ServiceExitCode&) = default;
};

// One status report, as the run loop fills it.
struct ServiceStatus {
  std::uint32_t service_type = 0;       // SERVICE_WIN32_OWN_PROCESS (0x10) here
  std::uint32_t current_state = 0;      // SERVICE_STOPPED (1) ... SERVICE_PAUSED (7)
  std::uint32_t controls_accepted = 0;  // SERVICE_ACCEPT_* bits
  ServiceExitCode exit_code;
  std::uint32_t checkpoint = 0;
  Duration wait_hint;                   // at most 4294967295 ms
};

// The one way a translation fails: a wait hint of more than 4294967295 ms, which no report can
// carry. A caller's mistake; the report is not made.
struct WaitHintTooLong {
  Duration wait_hint;
  friend bool operator==(const WaitHintTooLong&, const WaitHintTooLong&) = default;
};

// The report as SERVICE_STATUS. A ServiceSpecific exit code becomes Win32 exit code 1066
// (ERROR_SERVICE_SPECIFIC_ERROR) with the code beside it; the wait hint becomes whole
// milliseconds, rounded down.
Result<platform::SERVICE_STATUS, WaitHintTooLong> to_service_status(const ServiceStatus& status);

// Translates and hands the report to SetServiceStatus. A failed call gives Winapi with the last
// error read right after it. A wait hint that does not fit makes no call and gives
// Winapi(ERROR_INVALID_PARAMETER, 87), what the system would say of a report it cannot take.
Status<ServiceError> set_service_status(platform::ServiceControl& api,
                                        platform::ServiceStatusHandle handle,
                                        const ServiceStatus& status);

}  // namespace quolin
