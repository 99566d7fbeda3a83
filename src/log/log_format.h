// The layout of one log line:
//
//   2026-06-13 14:27:00 UTC [quolin-service] service starting\n
//
// Timestamp, tag, message byte for byte, one LF. The time is UTC in whole seconds. ServiceLog
// (service_log.cpp) writes the line as these four pieces, straight to the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quolin {

// The tag field, with the space on each side.
inline constexpr std::string_view LOG_TAG = " [quolin-service] ";
inline constexpr std::string_view LOG_LINE_END = "\n";

// 1970-01-01 00:00:00 UTC as 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
inline constexpr std::int64_t UNIX_EPOCH_TICKS = 116'444'736'000'000'000;
inline constexpr std::int64_t TICKS_PER_SECOND = 10'000'000;

// "YYYY-MM-DD hh:mm:ss UTC" for a count of 100-nanosecond intervals since 1601. Counts before
// 1970 give 1970-01-01 00:00:00 UTC; the part of a second is dropped; a year past 9999 keeps
// all its digits.
std::string format_timestamp(std::int64_t ticks);

// "YYYYMMDDThhmmssZ" for the same count: the UTC time in a form that fits a file name, as the
// names of moved-aside log folders and files carry it.
std::string format_compact_timestamp(std::int64_t ticks);

}  // namespace quolin
