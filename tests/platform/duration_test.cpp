#include "platform/duration.h"

#include <gtest/gtest.h>

namespace quolin {
namespace {

TEST(Duration, MillisecondsAreRoundedDown) {
  EXPECT_EQ((Duration{4, 999'999'999}).as_millis_saturating(), 4999u);
  EXPECT_EQ((Duration{0, 999'999}).as_millis_saturating(), 0u);
  EXPECT_EQ(Duration::from_millis(30000).as_millis_saturating(), 30000u);
  EXPECT_EQ((Duration{UINT64_MAX, 0}).as_millis_saturating(), UINT64_MAX);
}

TEST(Instant, DifferenceBorrowsNanosecondsAndNeverGoesNegative) {
  Instant a{{10, 100}};
  Instant b{{12, 50}};
  EXPECT_EQ(b.saturating_since(a), (Duration{1, NANOS_PER_SEC - 50}));
  EXPECT_EQ(a.saturating_since(b), Duration{});
  EXPECT_EQ(a.saturating_since(a), Duration{});
}

TEST(Instant, AdditionCarriesAndSaturates) {
  EXPECT_EQ((Instant{{1, 600'000'000}}).plus(Duration::from_millis(400)), (Instant{{2, 0}}));
  Instant far{{UINT64_MAX, 500'000'000}};
  EXPECT_EQ(far.plus(Duration::from_millis(600)), (Instant{{UINT64_MAX, NANOS_PER_SEC - 1}}));
}

}  // namespace
}  // namespace quolin
