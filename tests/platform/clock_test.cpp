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
      {10'000'000, MAX, 922'337'203'685, 477'580'700},  // the usual frequency, at the counter's end
      {3'000'000'000, 3'000'000'001, 1, 0},              // a third of a nanosecond rounds down
      // Above about 18 GHz the remainder times 10^9 no longer fits in 64 bits.
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
