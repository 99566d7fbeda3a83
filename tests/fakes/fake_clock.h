// A monotonic clock that moves only when a test moves it.
//
//   FakeClock clock;
//   clock.advance(Duration::from_millis(999));
//   Supervisor supervisor(launcher, clock, log);
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/duration.h"

namespace quolin::fakes {

class FakeClock final : public MonotonicClock {
 public:
  // Starts away from zero, so that a code path that confuses an instant with a duration shows.
  explicit FakeClock(Instant start = Instant{Duration::from_secs(1'000'000)},
                     std::vector<std::string>* journal = nullptr)
      : now_(start), journal_(journal) {}

  Instant now() override {
    ++reads_;
    if (journal_) journal_->push_back("clock read");
    return now_;
  }

  void advance(Duration by) { now_ = now_.plus(by); }
  void advance_ms(std::uint64_t ms) { advance(Duration::from_millis(ms)); }
  // Any instant, also an earlier one: a test may play a clock that steps back.
  void set(Instant to) { now_ = to; }

  Instant current() const { return now_; }
  std::size_t reads() const { return reads_; }

 private:
  Instant now_;
  std::vector<std::string>* journal_;
  std::size_t reads_ = 0;
};

}  // namespace quolin::fakes
