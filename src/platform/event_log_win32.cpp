#include "platform/event_log.h"

#include <vector>

#include "platform/windows_headers.h"

namespace quolin::platform {

static_assert(EVENT_TYPE_ERROR == EVENTLOG_ERROR_TYPE);
static_assert(EVENT_TYPE_WARNING == EVENTLOG_WARNING_TYPE);
static_assert(EVENT_TYPE_INFORMATION == EVENTLOG_INFORMATION_TYPE);

namespace {

class Win32EventLog final : public EventLog {
 public:
  SysResult<UniqueEventSource> RegisterEventSourceW(const std::u16string& source_name) override {
    HANDLE h = ::RegisterEventSourceW(nullptr, reinterpret_cast<const wchar_t*>(source_name.c_str()));
    if (h == nullptr) return last_failure();
    return UniqueEventSource(*this, h);
  }

  SysStatus ReportEventW(EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                         std::span<const std::u16string> strings) override {
    std::vector<LPCWSTR> pointers;
    pointers.reserve(strings.size());
    for (const std::u16string& s : strings) pointers.push_back(reinterpret_cast<LPCWSTR>(s.c_str()));
    if (!::ReportEventW(source, type, 0, event_id, nullptr, static_cast<WORD>(pointers.size()), 0,
                        pointers.empty() ? nullptr : pointers.data(), nullptr)) {
      return last_failure();
    }
    return {};
  }

  void DeregisterEventSource(EventSourceHandle source) override { ::DeregisterEventSource(source); }
};

}  // namespace

EventLog& win32_event_log() {
  static auto& api = *new Win32EventLog;
  return api;
}

}  // namespace quolin::platform
