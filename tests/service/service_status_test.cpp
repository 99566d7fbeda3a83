#include "service/service_status.h"

#include <gtest/gtest.h>

#include <array>

#include "fakes/fake_service_control.h"
#include "service/support.h"

namespace quolin {
namespace {

using Seven = std::array<std::uint32_t, 7>;

Seven seven(const platform::SERVICE_STATUS& s) {
  return {s.dwServiceType,   s.dwCurrentState,           s.dwControlsAccepted, s.dwWin32ExitCode,
          s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
}

ServiceStatus stop_pending(Duration wait_hint) { return {0x10, 3, 0, {}, 2, wait_hint}; }

TEST(SetServiceStatus, HandsTheTranslatedReportToTheSystemAndCarriesItsFailure) {
  fakes::FakeServiceControl scm;
  auto* handle = reinterpret_cast<platform::ServiceStatusHandle>(0x77);
  ServiceStatus report = stop_pending(Duration::from_millis(500));
  report.exit_code = ServiceExitCode::service_specific(7);
  ASSERT_TRUE(set_service_status(scm, handle, report));
  ASSERT_EQ(scm.statuses.size(), 1u);
  EXPECT_EQ(scm.status_handles[0], handle);
  EXPECT_EQ(seven(scm.statuses[0]), (Seven{0x10, 3, 0, 1066, 7, 2, 500}));  // the code behind 1066
  scm.fail_report_at = 2;
  EXPECT_EQ(set_service_status(scm, handle, report).error(), ServiceError::winapi(6));
  // A wait hint no report can carry is refused as the system would, without a call.
  EXPECT_EQ(set_service_status(scm, handle, stop_pending({4'294'968, 0})).error(),
            ServiceError::winapi(87));
  EXPECT_EQ(scm.statuses.size(), 2u);
}

}  // namespace
}  // namespace quolin
