#include "platform/clock.h"

namespace quolin {
namespace {

// floor(a * b / d) for a < d, exactly, in 64 bits: the product of a counter remainder and 10^9
// would overflow for frequencies above about 18 GHz. Shift-and-add over the bits of b, keeping
// the running remainder below d (d < 2^63, so doubling it cannot wrap).
std::uint64_t scale_below(std::uint64_t a, std::uint64_t b, std::uint64_t d) {
  std::uint64_t quotient = 0;
  std::uint64_t remainder = 0;
  for (int bit = 63; bit >= 0; --bit) {
    quotient <<= 1;
    remainder <<= 1;
    if (remainder >= d) {
      remainder -= d;
      quotient += 1;
    }
    if ((b >> bit) & 1) {
      remainder += a;
      if (remainder >= d) {
        remainder -= d;
        quotient += 1;
      }
    }
  }
  return quotient;
}

}  // namespace

PerformanceCounterClock::PerformanceCounterClock(platform::Files& api) : api_(&api) {
  platform::SysResult<std::int64_t> frequency = api.QueryPerformanceFrequency();
  if (frequency && frequency.value() > 0) frequency_ = static_cast<std::uint64_t>(frequency.value());
}

Instant PerformanceCounterClock::now() {
  // Windows XP and later never fail these calls; should they, time stands still at the origin
  // rather than dividing by zero.
  if (frequency_ == 0) return Instant{};
  platform::SysResult<std::int64_t> count = api_->QueryPerformanceCounter();
  if (!count || count.value() < 0) return Instant{};
  std::uint64_t ticks = static_cast<std::uint64_t>(count.value());
  std::uint64_t secs = ticks / frequency_;
  std::uint64_t nanos = scale_below(ticks % frequency_, NANOS_PER_SEC, frequency_);
  return Instant{Duration{secs, static_cast<std::uint32_t>(nanos)}};
}

}  // namespace quolin
