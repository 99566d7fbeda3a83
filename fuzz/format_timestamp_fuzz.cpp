// format_timestamp over every signed 64-bit tick count, against the standard library's civil
// calendar: the text must be the one std::chrono gives for the same second.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "log/log_format.h"

namespace {

using namespace std::chrono;

// The timestamp as std::chrono's proleptic Gregorian calendar has it; times before 1970 are
// 1970-01-01 00:00:00, and the part of a second is dropped.
std::string oracle(std::int64_t ticks) {
  using quolin::TICKS_PER_SECOND, quolin::UNIX_EPOCH_TICKS;
  const std::int64_t s = ticks < UNIX_EPOCH_TICKS ? 0 : (ticks - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND;
  const sys_seconds at{seconds{s}};
  const sys_days day = floor<days>(at);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> time{at - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long long>(time.hours().count()), static_cast<long long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()));
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  const auto ticks = static_cast<std::int64_t>(in.next<std::uint64_t>());

  FUZZ_CHECK(quolin::format_timestamp(ticks) == oracle(ticks));
  return 0;
}
