#include "log/log_format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "log/line_writer.h"

namespace quolin {
namespace {

using namespace std::chrono;

// 100-nanosecond intervals, the unit of the system clock.
using Ticks = duration<std::int64_t, std::ratio<1, 10'000'000>>;

// 1601-01-01 to 1970-01-01, worked out by the standard library's calendar.
constexpr std::int64_t oracle_epoch_ticks() {
  return duration_cast<Ticks>(sys_days{1970y / January / 1} - sys_days{1601y / January / 1}).count();
}

// The expected text, from the standard library's civil calendar rather than our arithmetic.
std::string oracle(std::int64_t ticks) {
  const std::int64_t epoch = oracle_epoch_ticks();
  sys_seconds when{};
  if (ticks >= epoch) when = floor<seconds>(sys_time<Ticks>{Ticks{ticks - epoch}});
  const sys_days day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{when - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::int64_t ticks_at(sys_seconds when) {
  return oracle_epoch_ticks() + duration_cast<Ticks>(when.time_since_epoch()).count();
}

TEST(FormatTimestamp, OracleAgreesWithTheGivenAnchors) {
  // Guards the oracle itself: if it drifted, the sweeps below would prove nothing.
  EXPECT_EQ(oracle_epoch_ticks(), 116444736000000000);
  EXPECT_EQ(oracle(std::numeric_limits<std::int64_t>::max()), "30828-09-14 02:48:05 UTC");
  EXPECT_EQ(oracle(125963423990000000), "2000-02-29 23:59:59 UTC");
}

TEST(FormatTimestamp, BoundaryCases) {
  struct Case {
    std::int64_t ticks;
    const char* text;
  };
  constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const Case cases[] = {
      {116444736000000000, "1970-01-01 00:00:00 UTC"},
      {116444736009999999, "1970-01-01 00:00:00 UTC"},  // the fraction is dropped, not rounded
      {116444736010000000, "1970-01-01 00:00:01 UTC"},
      {116444735999999999, "1970-01-01 00:00:00 UTC"},  // before 1970
      {0, "1970-01-01 00:00:00 UTC"},
      {-1, "1970-01-01 00:00:00 UTC"},
      {min, "1970-01-01 00:00:00 UTC"},
      {116444736000000000 + 86399 * 10000000LL, "1970-01-01 23:59:59 UTC"},
      {116444736000000000 + 86400 * 10000000LL, "1970-01-02 00:00:00 UTC"},
      {125963423990000000, "2000-02-29 23:59:59 UTC"},  // 2000 is a leap year
      {125963424000000000, "2000-03-01 00:00:00 UTC"},
      {157520160000000000, "2100-03-01 00:00:00 UTC"},  // 2100 is not
      {157520159990000000, "2100-02-28 23:59:59 UTC"},
      {2650467743990000000, "9999-12-31 23:59:59 UTC"},
      {2650467744000000000, "10000-01-01 00:00:00 UTC"},
      {max, "30828-09-14 02:48:05 UTC"},  // five-digit year
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticks);
    EXPECT_EQ(format_timestamp(c.ticks), c.text);
  }
}

TEST(FormatTimestamp, EveryDayFrom1970To2500AtBothEndsOfTheDay) {
  // Covers every month length, leap year and century rule (2100, 2200, 2300 are not leap
  // years; 2400 is) in this range, one second either side of each midnight.
  const sys_days first = sys_days{1970y / January / 1};
  const sys_days last = sys_days{2500y / December / 31};
  int mismatches = 0;
  for (sys_days d = first; d <= last; d += days{1}) {
    for (sys_seconds s : {sys_seconds{d}, sys_seconds{d} + seconds{86399}}) {
      const std::int64_t ticks = ticks_at(s);
      if (format_timestamp(ticks) != oracle(ticks) && ++mismatches <= 5) {
        ADD_FAILURE() << "ticks " << ticks << ": " << format_timestamp(ticks) << " != " << oracle(ticks);
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FormatTimestamp, AroundLeapDaysAndYearEndsUpToTheLargestCount) {
  const int years[] = {1972, 1999, 2000, 2001, 2038, 2096, 2100, 2104, 2400, 9996, 9999,
                       10000, 10400, 20000, 30000, 30800, 30827};
  for (int y : years) {
    const year yy{y};
    for (sys_days d : {sys_days{yy / January / 1}, sys_days{yy / February / 28}, sys_days{yy / March / 1},
                       sys_days{yy / December / 31}}) {
      for (seconds offset : {seconds{-1}, seconds{0}, seconds{1}, seconds{86399}}) {
        for (std::int64_t fraction : {0LL, 9999999LL}) {
          const std::int64_t ticks = ticks_at(sys_seconds{d} + offset) + fraction;
          SCOPED_TRACE(ticks);
          EXPECT_EQ(format_timestamp(ticks), oracle(ticks));
        }
      }
    }
  }
}

TEST(FormatTimestamp, SeededRandomCountsOverTheWholeRange) {
  std::mt19937_64 random(0x51a7e5eedULL);
  std::uniform_int_distribution<std::int64_t> any(std::numeric_limits<std::int64_t>::min(),
                                                  std::numeric_limits<std::int64_t>::max());
  std::uniform_int_distribution<std::int64_t> after_1970(oracle_epoch_ticks(),
                                                         std::numeric_limits<std::int64_t>::max());
  int mismatches = 0;
  for (int i = 0; i < 100000; ++i) {
    for (std::int64_t ticks : {any(random), after_1970(random)}) {
      if (format_timestamp(ticks) != oracle(ticks) && ++mismatches <= 5) {
        ADD_FAILURE() << "ticks " << ticks << ": " << format_timestamp(ticks) << " != " << oracle(ticks);
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FormatLogLine, TimestampTagMessageAndOneLineFeed) {
  EXPECT_EQ(format_log_line("2026-06-13 14:27:00 UTC", "service starting"),
            "2026-06-13 14:27:00 UTC [quolin-service] service starting\n");
  EXPECT_EQ(LOG_TAG.size(), 18u);
}

TEST(FormatLogLine, MessageBytesPassUnchanged) {
  struct Case {
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {"", "T [quolin-service] \n"},  // ends in the tag's space, then LF
      {"no active user session at start \xE2\x80\x94 waiting for logon",
       "T [quolin-service] no active user session at start \xE2\x80\x94 waiting for logon\n"},
      {"two\nlines", "T [quolin-service] two\nlines\n"},
      {"keeps\r\nCR", "T [quolin-service] keeps\r\nCR\n"},
      {std::string("nul\0inside", 10), std::string("T [quolin-service] nul\0inside\n", 30)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(format_log_line("T", c.message), c.line);
  }
}

TEST(LogError, Text) {
  EXPECT_EQ(LogError::write_zero().text(), "failed to write whole buffer");
  EXPECT_EQ(LogError::os(3).text(), "os error 3");
  EXPECT_EQ(LogError::os(183).text(), "os error 183");
  EXPECT_EQ(LogError::os(0).text(), "os error 0");
  EXPECT_EQ(LogError::os(4294967295u).text(), "os error 4294967295");
}

}  // namespace
}  // namespace quolin
