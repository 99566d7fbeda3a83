#include "log/event_log_sink.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace quolin {

EventLogSink::EventLogSink(platform::EventLog& api) : api_(api) {
  if (auto source = api_.RegisterEventSourceW(EVENT_SOURCE_NAME)) source_ = std::move(source).value();
}

bool EventLogSink::report(EventKind kind, std::initializer_list<std::string_view> strings) {
  if (!source_) return false;
  std::vector<std::u16string> wide;
  wide.reserve(strings.size());
  for (std::string_view s : strings) wide.push_back(platform::utf16_from_wtf8(s));
  const auto type = static_cast<std::uint16_t>(kind.type);
  return static_cast<bool>(api_.ReportEventW(source_.get(), type, message_id(kind), wide));
}

}  // namespace quolin
