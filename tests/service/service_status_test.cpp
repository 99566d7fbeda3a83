#include "service/service_status.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/printers.h"

namespace quolin {
namespace {

using fakes::FakeServiceControl;
using Seven = std::array<std::uint32_t, 7>;

Seven seven(const platform::SERVICE_STATUS& s) {
  return {s.dwServiceType,   s.dwCurrentState,           s.dwControlsAccepted, s.dwWin32ExitCode,
          s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
}

ServiceStatus report(std::uint32_t state, std::uint32_t accepted, Duration wait_hint) {
  return {0x10, state, accepted, ServiceExitCode::win32(0), 0, wait_hint};
}

TEST(ToServiceStatus, TranslatesTheRunLoopsThreeReports) {
  struct Case {
    const char* name;
    ServiceStatus status;
    Seven fields;
  };
  const Case cases[] = {
      {"running", report(4, 0x81, {}), {0x10, 4, 0x81, 0, 0, 0, 0}},
      {"stop-pending", report(3, 0, Duration::from_millis(500)), {0x10, 3, 0, 0, 0, 0, 500}},
      {"stopped", report(1, 0, {}), {0x10, 1, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = to_service_status(c.status);
    ASSERT_TRUE(r);
    EXPECT_EQ(seven(r.value()), c.fields);
  }
}

TEST(ToServiceStatus, ServiceSpecificCodeTravelsBehind1066) {
  ServiceStatus s{0x10, 1, 0, ServiceExitCode::service_specific(7), 5, {}};
  auto r = to_service_status(s);
  ASSERT_TRUE(r);
  EXPECT_EQ(seven(r.value()), (Seven{0x10, 1, 0, 1066, 7, 5, 0}));

  s.exit_code = ServiceExitCode::win32(1063);
  auto w = to_service_status(s);
  ASSERT_TRUE(w);
  EXPECT_EQ(seven(w.value()), (Seven{0x10, 1, 0, 1063, 0, 5, 0}));
}

TEST(ToServiceStatus, WaitHintIsWholeMillisecondsRoundedDown) {
  struct Case {
    Duration hint;
    std::uint32_t millis;
  };
  constexpr Case cases[] = {
      {{0, 500'000'000}, 500},
      {{1, 999'999'999}, 1999},
      {{0, 999'999}, 0},
      {{4'294'967, 295'000'000}, 4'294'967'295u},
      {{4'294'967, 295'999'999}, 4'294'967'295u},  // truncation keeps it in range
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.millis);
    auto r = to_service_status(report(3, 0, c.hint));
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().dwWaitHint, c.millis);
  }
}

TEST(ToServiceStatus, RefusesAWaitHintBeyond32BitMilliseconds) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const Duration hints[] = {
      {4'294'967, 296'000'000},  // one millisecond too many
      {4'294'968, 0},
      {max / 1000 + 1, 0},       // seconds × 1000 alone overflows 64 bits
      {max, 999'999'999},
  };
  for (const Duration& hint : hints) {
    SCOPED_TRACE(hint.secs);
    auto r = to_service_status(report(3, 0, hint));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), WaitHintTooLong{hint});
  }
}

TEST(SetServiceStatus, HandsTheTranslatedReportToTheSystem) {
  FakeServiceControl scm;
  auto* handle = reinterpret_cast<platform::ServiceStatusHandle>(0x77);
  ASSERT_TRUE(set_service_status(scm, handle, report(3, 0, Duration::from_millis(500))));
  EXPECT_EQ(scm.calls, std::vector<std::string>{"SetServiceStatus"});
  ASSERT_EQ(scm.statuses.size(), 1u);
  EXPECT_EQ(scm.status_handles[0], handle);
  EXPECT_EQ(seven(scm.statuses[0]), (Seven{0x10, 3, 0, 0, 0, 0, 500}));
}

TEST(SetServiceStatus, FailureCarriesTheLastErrorReadRightAfterTheCall) {
  FakeServiceControl scm;
  scm.set_status_succeeds = false;
  scm.set_status_error = 6;
  auto r = set_service_status(scm, nullptr, report(4, 0x81, {}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ServiceError::winapi(6));
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"SetServiceStatus", "GetLastError"}));
}

TEST(SetServiceStatus, MakesNoReportWithAWaitHintThatDoesNotFit) {
  FakeServiceControl scm;
  auto r = set_service_status(scm, reinterpret_cast<void*>(0x77),
                              report(3, 0, {4'294'967, 296'000'000}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ServiceError::winapi(87));
  EXPECT_TRUE(scm.calls.empty());
}

}  // namespace
}  // namespace quolin
