#include "log/log_format.h"

namespace quolin {
namespace {

// Decimal, zero-padded on the left to at least `width` digits. Values are never negative.
void append_number(std::string& out, std::int64_t value, int width) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
}

// The civil date and time of a tick count, in UTC and whole seconds.
struct CivilTime {
  std::int64_t year, month, day, hour, minute, second;
};

CivilTime civil_time(std::int64_t ticks) {
  // The subtraction cannot overflow: ticks is at least the epoch here.
  std::int64_t s = ticks < UNIX_EPOCH_TICKS ? 0 : (ticks - UNIX_EPOCH_TICKS) / TICKS_PER_SECOND;
  std::int64_t days = s / 86400;
  std::int64_t t = s - days * 86400;

  // Civil date from a day count, in 400-year eras of the proleptic Gregorian calendar, with
  // years that begin on 1 March so that the leap day is the last day of a year.
  std::int64_t z = days + 719468;
  std::int64_t era = z / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  std::int64_t year = era * 400 + yoe + (month <= 2 ? 1 : 0);
  return {year, month, day, t / 3600, (t / 60) % 60, t % 60};
}

// The six numbers with the five separators between them and the suffix after.
std::string lay_out(const CivilTime& c, const char (&separators)[5], std::string_view suffix) {
  std::string out;
  out.reserve(24);
  const std::int64_t numbers[] = {c.year, c.month, c.day, c.hour, c.minute, c.second};
  for (int i = 0; i < 6; ++i) {
    append_number(out, numbers[i], i == 0 ? 4 : 2);
    if (i < 5 && separators[i] != '\0') out.push_back(separators[i]);
  }
  out.append(suffix);
  return out;
}

}  // namespace

std::string format_timestamp(std::int64_t ticks) {
  return lay_out(civil_time(ticks), {'-', '-', ' ', ':', ':'}, " UTC");
}

std::string format_compact_timestamp(std::int64_t ticks) {
  return lay_out(civil_time(ticks), {'\0', '\0', 'T', '\0', '\0'}, "Z");
}

}  // namespace quolin
