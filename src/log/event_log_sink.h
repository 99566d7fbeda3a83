// The event sink of the service: the source QuolinHost in the Application log.
//
//   EventLogSink sink(platform::win32_event_log());   // once, at service start
//   sink.report(events::SERVICE_FAILED, {error_text});
//
// The source is opened once, when the sink is made, and closed when it goes. When it cannot be
// opened every report goes nowhere; a report that fails is dropped. Neither is retried or
// logged: the Event Log is a second channel, the log file stays the record.
#pragma once

#include "log/event_sink.h"
#include "platform/event_log.h"

namespace quolin {

// The name of the event source, as the installers register it.
inline constexpr char16_t EVENT_SOURCE_NAME[] = u"QuolinHost";

class EventLogSink final : public EventSink {
 public:
  explicit EventLogSink(platform::EventLog& api);

  bool report(EventKind kind, std::initializer_list<std::string_view> strings) override;

 private:
  platform::EventLog& api_;
  platform::UniqueEventSource source_;
};

}  // namespace quolin
