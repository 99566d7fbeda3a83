#include "service/service_status.h"

#include <limits>

#include "platform/scm_codes.h"

namespace quolin {

Result<platform::SERVICE_STATUS, WaitHintTooLong> to_service_status(const ServiceStatus& status) {
  // Saturating u64 arithmetic: any hint that overflows it is far beyond the 32-bit limit anyway.
  std::uint64_t wait_hint_ms = status.wait_hint.as_millis_saturating();
  if (wait_hint_ms > std::numeric_limits<std::uint32_t>::max()) {
    return fail(WaitHintTooLong{status.wait_hint});
  }
  platform::SERVICE_STATUS out;
  out.dwServiceType = status.service_type;
  out.dwCurrentState = status.current_state;
  out.dwControlsAccepted = status.controls_accepted;
  if (status.exit_code.kind == ServiceExitCode::Kind::ServiceSpecific) {
    out.dwWin32ExitCode = scm::ERROR_SERVICE_SPECIFIC_ERROR;
    out.dwServiceSpecificExitCode = status.exit_code.code;
  } else {
    out.dwWin32ExitCode = status.exit_code.code;
    out.dwServiceSpecificExitCode = 0;
  }
  out.dwCheckPoint = status.checkpoint;
  out.dwWaitHint = static_cast<std::uint32_t>(wait_hint_ms);
  return out;
}

Status<ServiceError> set_service_status(platform::ServiceControl& api,
                                        platform::ServiceStatusHandle handle,
                                        const ServiceStatus& status) {
  auto translated = to_service_status(status);
  if (!translated) return fail(ServiceError::winapi(scm::ERROR_INVALID_PARAMETER));
  if (platform::SysStatus set = api.SetServiceStatus(handle, translated.value()); !set) {
    return fail(ServiceError::winapi(set.error().code()));
  }
  return {};
}

}  // namespace quolin
