// The event sink: what the Supervisor, the run loop and the service log are given to report
// their significant decisions to the Windows Event Log, beside the line each of them writes.
//
//   sink.report(events::HOST_CRASHED, {"4711", "0x00000001 (1)", "2", "2000"});
//
// The log file and the service's state never depend on the Event Log, so a report's result is
// looked at only where the event stands in for a line the log could not take (1101). Nothing is
// reported on a quiet poll.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "platform/event_log.h"

namespace quolin {

enum class EventType : std::uint16_t {
  Error = platform::EVENT_TYPE_ERROR,
  Warning = platform::EVENT_TYPE_WARNING,
  Information = platform::EVENT_TYPE_INFORMATION,
};

// One event of the source: the ID a reader and a fleet tool see, and its type.
struct EventKind {
  std::uint16_t id;
  EventType type;
};

// The identifier of the message in the executable's message table: the ID with the severity
// of its type in the top two bits, as the message compiler lays it out.
constexpr std::uint32_t message_id(EventKind kind) {
  const std::uint32_t severity = kind.type == EventType::Error     ? 3u
                                 : kind.type == EventType::Warning ? 2u
                                                                   : 1u;
  return severity << 30 | kind.id;
}

// The source's events. Their messages are in src/main/resources/quolin-messages.mc, where each
// quotes the insertion strings named here, in this order, with the values of the log line.
namespace events {
// occasion ("service start", the session-change reason, "re-spawn attempt k/5"), pid, session
inline constexpr EventKind HOST_LAUNCHED{1001, EventType::Information};
// pid, exit-code text (the log's, then what a well-known crash code means), consecutive
// crashes, delay before the re-spawn in ms
inline constexpr EventKind HOST_CRASHED{1002, EventType::Warning};
// pid, exit-code text as for 1002, consecutive crashes, the crash budget
inline constexpr EventKind CRASH_BUDGET_SPENT{1003, EventType::Error};
// pid, run time in ms
inline constexpr EventKind ANOTHER_INSTANCE{1004, EventType::Warning};
// occasion ("service start", the session-change reason, "re-spawn"), the failure text
inline constexpr EventKind LAUNCH_FAILED{1005, EventType::Error};
// pid, the failure text
inline constexpr EventKind HOST_NOT_TIED{1006, EventType::Warning};
// pid, cause (the session-change reason, or "service stop")
inline constexpr EventKind HOST_ENDED{1007, EventType::Information};
// what ("log folder" or "log file"), its path, why it was not safe, the name it was moved to
inline constexpr EventKind LOG_MOVED_ASIDE{1100, EventType::Warning};
// what, its path, why it was not safe, why it could not be moved aside (the error's text), the
// line's message: a line that went here instead of the log
inline constexpr EventKind LINE_NOT_LOGGED{1101, EventType::Warning};
// the error's text, as the last log line gives it
inline constexpr EventKind SERVICE_FAILED{1900, EventType::Error};
}  // namespace events

class EventSink {
 public:
  // Whether the Event Log took it.
  virtual bool report(EventKind kind, std::initializer_list<std::string_view> strings) = 0;

 protected:
  ~EventSink() = default;
};

}  // namespace quolin
