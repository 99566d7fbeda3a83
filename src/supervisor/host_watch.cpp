#include "supervisor/host_watch.h"

#include <utility>

namespace quolin {
namespace {

constexpr std::uint32_t WAIT_OBJECT_0 = 0;

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

std::optional<HostExit> poll_exit(platform::Processes& api, const HostProcess& host) {
  if (api.WaitForSingleObject(host.handle.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
  std::uint32_t code = 0;
  if (api.GetExitCodeProcess(host.handle.get(), &code)) return HostExit{code};
  static_cast<void>(api.GetLastError());  // nothing to do with it; the code is simply unknown
  return HostExit{std::nullopt};
}

PerformanceCounterClock::PerformanceCounterClock(platform::Processes& api) : api_(&api), frequency_(0) {
  std::int64_t frequency = 0;
  if (api.QueryPerformanceFrequency(&frequency) && frequency > 0) {
    frequency_ = static_cast<std::uint64_t>(frequency);
  }
}

Instant PerformanceCounterClock::now() {
  // Windows XP and later never fail these calls; should they, time stands still at the origin
  // rather than dividing by zero.
  std::int64_t count = 0;
  if (frequency_ == 0 || !api_->QueryPerformanceCounter(&count) || count < 0) return Instant{};
  std::uint64_t ticks = static_cast<std::uint64_t>(count);
  std::uint64_t secs = ticks / frequency_;
  std::uint64_t nanos = scale_below(ticks % frequency_, NANOS_PER_SEC, frequency_);
  return Instant{Duration{secs, static_cast<std::uint32_t>(nanos)}};
}

ServiceHostLauncher::ServiceHostLauncher(platform::Processes& api, std::string host_path)
    : api_(&api), launcher_(api, std::move(host_path)) {}

LaunchOutcome ServiceHostLauncher::launch() { return launcher_.launch(); }

void ServiceHostLauncher::release(HostProcess host) { launcher_.release(std::move(host)); }

std::optional<HostExit> ServiceHostLauncher::poll_exit(const HostProcess& host) {
  return quolin::poll_exit(*api_, host);
}

}  // namespace quolin
