// The Event Log calls (advapi32): a source of our own in the Application log, and one report
// per event.
//
//   EventLog& api = win32_event_log();
//   SysResult<UniqueEventSource> source = api.RegisterEventSourceW(u"QuolinHost");
//   if (source) (void)api.ReportEventW(source.value().get(), EVENT_TYPE_WARNING, id, strings);
//   // deregistered exactly once when `source` goes
//
// The messages are not here: the reader's Event Viewer finds them through the source's
// EventMessageFile (written by the installers) in the executable's message table.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/owned.h"
#include "platform/system_error.h"

namespace quolin::platform {

// An HANDLE of RegisterEventSourceW; null means none. Closed with DeregisterEventSource, never
// with CloseHandle.
using EventSourceHandle = void*;

// The event types of ReportEventW (EVENTLOG_ERROR_TYPE and the like; checked on the Win32 side).
inline constexpr std::uint16_t EVENT_TYPE_ERROR = 0x0001;
inline constexpr std::uint16_t EVENT_TYPE_WARNING = 0x0002;
inline constexpr std::uint16_t EVENT_TYPE_INFORMATION = 0x0004;

class EventLog;

struct EventSourceTraits {
  using Api = EventLog;
  using pointer = EventSourceHandle;
  static bool is_valid(pointer h) { return h != nullptr; }
  static void close(Api& api, pointer h);
};

using UniqueEventSource = Owned<EventSourceTraits>;

class EventLog {
 public:
  // RegisterEventSourceW on the local machine (no server name).
  virtual SysResult<UniqueEventSource> RegisterEventSourceW(const std::u16string& source_name) = 0;

  // ReportEventW with category 0, no user SID and no binary data. `event_id` is the full
  // identifier of the message table (severity bits included).
  virtual SysStatus ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                 std::span<const std::u16string> strings) = 0;

  // Its result is ignored, like every close.
  virtual void DeregisterEventSource(EventSourceHandle source) = 0;

 protected:
  ~EventLog() = default;
};

inline void EventSourceTraits::close(Api& api, pointer h) { api.DeregisterEventSource(h); }

#ifdef _WIN32
// The real calls. Never destroyed, like the other groups.
EventLog& win32_event_log();
#endif

}  // namespace quolin::platform
