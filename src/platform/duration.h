// Instants and durations: whole seconds plus nanoseconds below one second.
//
// Milliseconds appear only in log text and in the status wait hint, always rounded down.
#pragma once

#include <compare>
#include <cstdint>
#include <limits>

namespace quolin {

inline constexpr std::uint32_t NANOS_PER_SEC = 1'000'000'000;

struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;  // always below NANOS_PER_SEC

  static constexpr Duration from_secs(std::uint64_t s) { return {s, 0}; }
  static constexpr Duration from_millis(std::uint64_t ms) {
    return {ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 1'000'000};
  }

  // Whole milliseconds, rounded down. 128 bits are not needed: u64 seconds times 1000
  // can overflow only past 584 million years, so the caller gets the exact value or saturation.
  constexpr std::uint64_t as_millis_saturating() const {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    if (secs > max / 1000) return max;
    std::uint64_t ms = secs * 1000;
    std::uint64_t extra = nanos / 1'000'000;
    return ms > max - extra ? max : ms + extra;
  }

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// A reading of the monotonic clock, as the time since an arbitrary origin.
struct Instant {
  Duration since_origin;

  // The later instant, or the origin's far end when the sum does not fit.
  constexpr Instant plus(Duration d) const {
    std::uint64_t s = since_origin.secs + d.secs;
    if (s < since_origin.secs) return Instant{{std::numeric_limits<std::uint64_t>::max(), NANOS_PER_SEC - 1}};
    std::uint32_t n = since_origin.nanos + d.nanos;
    if (n >= NANOS_PER_SEC) {
      n -= NANOS_PER_SEC;
      if (s == std::numeric_limits<std::uint64_t>::max()) return Instant{{s, NANOS_PER_SEC - 1}};
      ++s;
    }
    return Instant{{s, n}};
  }

  // this - earlier; a difference that would be negative counts as zero.
  constexpr Duration saturating_since(Instant earlier) const {
    if (*this <= earlier) return {};
    const Duration& a = since_origin;
    const Duration& b = earlier.since_origin;
    if (a.nanos >= b.nanos) return {a.secs - b.secs, a.nanos - b.nanos};
    return {a.secs - b.secs - 1, a.nanos + NANOS_PER_SEC - b.nanos};
  }

  friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
};

}  // namespace quolin
