// The performance-counter clock: counter ticks scaled to seconds and nanoseconds.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "fakes/fake_files.h"

namespace quolin {
namespace {

TEST(PerformanceCounterClock, ScalesTheCounterExactlyAtEveryFrequency) {
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t frequency;
    std::int64_t counter;
    std::uint64_t secs;
    std::uint32_t nanos;
  };
  constexpr Case cases[] = {
      {10'000'000, 12'345'678, 1, 234'567'800},
      {10'000'000, 9'999'999, 0, 999'999'900},
      {10'000'000, MAX, 922'337'203'685, 477'580'700},
      {3'000'000'000, 3'000'000'001, 1, 0},  // a third of a nanosecond rounds down
      {3'000'000'000, 2'999'999'999, 0, 999'999'999},
      {3'000'000'000, MAX, 3'074'457'345, 618'258'602},
      {1, MAX, static_cast<std::uint64_t>(MAX), 0},
      // Above about 18 GHz the remainder times 10^9 no longer fits in 64 bits.
      {40'000'000'000, 39'999'999'999, 0, 999'999'999},
      {40'000'000'000, 60'000'000'000, 1, 500'000'000},
      {MAX, MAX - 1, 0, 999'999'999},
      {0, 12'345, 0, 0},  // no frequency: time stands at the origin rather than dividing by zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frequency << " Hz, count " << c.counter);
    fakes::FakeFiles api;
    api.performance_frequency = c.frequency;
    api.performance_counter = c.counter;
    PerformanceCounterClock clock(api);
    const Instant now = clock.now();
    EXPECT_EQ(now.since_origin.secs, c.secs);
    EXPECT_EQ(now.since_origin.nanos, c.nanos);
  }
}

}  // namespace
}  // namespace quolin
