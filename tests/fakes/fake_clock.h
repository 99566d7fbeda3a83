// A monotonic clock that moves only when a test moves it (advance, or set to any instant).
#pragma once

#include "platform/clock.h"
#include "platform/duration.h"

namespace quolin::fakes {

class FakeClock final : public MonotonicClock {
 public:
  // Starts away from zero, so that a code path that confuses an instant with a duration shows.
  explicit FakeClock(Instant start = Instant{Duration::from_secs(1'000'000)}) : now_(start) {}

  Instant now() override { return now_; }

  void advance(Duration by) { now_ = now_.plus(by); }
  // Also an earlier instant: a test may play a clock that steps back.
  void set(Instant to) { now_ = to; }

 private:
  Instant now_;
};

}  // namespace quolin::fakes
