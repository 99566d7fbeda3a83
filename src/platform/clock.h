// The monotonic clock the run loop and the Supervisor read.
//
//   PerformanceCounterClock clock(platform::win32_files());
//   Instant started = clock.now();
#pragma once

#include <cstdint>

#include "platform/duration.h"
#include "platform/files.h"

namespace quolin {

class MonotonicClock {
 public:
  virtual Instant now() = 0;

 protected:
  ~MonotonicClock() = default;
};

// The high-resolution performance counter as seconds and nanoseconds since its origin.
class PerformanceCounterClock final : public MonotonicClock {
 public:
  // Reads the counter's frequency once: it is fixed at boot.
  explicit PerformanceCounterClock(platform::Files& api);

  Instant now() override;

 private:
  platform::Files* api_;
  std::uint64_t frequency_ = 0;
};

}  // namespace quolin
