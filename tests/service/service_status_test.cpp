#include "service/service_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/support.h"

namespace quolin {
namespace {

ServiceStatus stop_pending(Duration wait_hint) { return {0x10, 3, 0, {}, 2, wait_hint}; }

TEST(SetServiceStatus, HandsTheTranslatedReportToTheSystemAndCarriesItsFailure) {
  std::vector<std::string> journal;  // every field of each report
  fakes::FakeServiceControl scm(&journal);
  auto* handle = reinterpret_cast<platform::ServiceStatusHandle>(0x77);
  ServiceStatus report = stop_pending(Duration::from_millis(500));
  report.exit_code = ServiceExitCode::service_specific(7);
  ASSERT_TRUE(set_service_status(scm, handle, report));
  EXPECT_EQ(scm.status_handles, std::vector{handle});
  EXPECT_EQ(journal, std::vector<std::string>{"report STOP_PENDING accepted=0 exit=1066 specific=7 checkpoint=2 "
                                              "hint=500 type=16"});  // the code behind 1066
  scm.fail_report_at = 2;
  EXPECT_EQ(set_service_status(scm, handle, report).error(), ServiceError::winapi(6));
  // A wait hint no report can carry is refused as the system would, without a call.
  EXPECT_EQ(set_service_status(scm, handle, stop_pending({4'294'968, 0})).error(),
            ServiceError::winapi(87));
  EXPECT_EQ(scm.statuses.size(), 2u);
}

}  // namespace
}  // namespace quolin
