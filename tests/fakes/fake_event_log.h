// A fake of the Event Log calls that records every report, as the reader would see it.
//
//   std::vector<std::string> journal;        // shared with the other fakes, to show order
//   FakeEventLog event_log(&journal);
//   EventLogSink events(event_log);          // opens the source: "event source QuolinHost"
//   ... code under test reports ...          // "event Warning 1002: 4711 | 0x00000001 (1) | 1 | 1000"
//
// A report on a source not open, a source closed twice or left open are findings (fake_problem),
// as are a type and identifier severity that disagree (the reader would see the wrong message).
// With `keep` false it records nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fake_problem.h"
#include "platform/event_log.h"
#include "platform/text.h"

namespace quolin::fakes {

class FakeEventLog final : public platform::EventLog {
 public:
  explicit FakeEventLog(std::vector<std::string>* journal = nullptr) : journal_(journal) {}
  FakeEventLog(const FakeEventLog&) = delete;
  FakeEventLog& operator=(const FakeEventLog&) = delete;
  ~FakeEventLog() {
    if (open_) fake_problem("FakeEventLog", "the event source was never deregistered");
  }

  std::optional<std::uint32_t> fail_register;  // with this code
  std::optional<std::uint32_t> fail_report;    // every report, with this code
  bool keep = true;

  // Recorded: "<type> <ID>: <strings joined by " | ">", as the reader sees them.
  std::vector<std::string> events;

  platform::SysResult<platform::UniqueEventSource> RegisterEventSourceW(const std::u16string& name) override {
    note("event source " + platform::wtf8_from_utf16(name) + (fail_register ? " failed" : ""));
    if (fail_register) return fail(*fail_register);
    if (open_) fake_problem("FakeEventLog", "the event source was registered twice");
    open_ = true;
    return platform::UniqueEventSource(*this, SOURCE);
  }

  platform::SysStatus ReportEventW(platform::EventSourceHandle source, std::uint16_t type, std::uint32_t event_id,
                                   std::span<const std::u16string> strings) override {
    if (!open_ || source != SOURCE) fake_problem("FakeEventLog", "report on a source that is not open");
    static constexpr const char* TYPES[] = {"?", "Error", "Warning", "?", "Information"};
    const std::uint32_t severity = type == platform::EVENT_TYPE_ERROR ? 3 : type == platform::EVENT_TYPE_WARNING ? 2 : 1;
    if (type > 4 || event_id >> 30 != severity) fake_problem("FakeEventLog", "type and identifier disagree");
    if (!keep) return {};
    std::string e = std::string(TYPES[type]) + " " + std::to_string(event_id & 0xFFFF) + ":";
    for (std::size_t i = 0; i < strings.size(); ++i) {
      e += (i == 0 ? " " : " | ") + platform::wtf8_from_utf16(strings[i]);
    }
    note("event " + e + (fail_report ? " (failed)" : ""));
    if (fail_report) return fail(*fail_report);
    events.push_back(e);
    return {};
  }

  void DeregisterEventSource(platform::EventSourceHandle source) override {
    if (!open_ || source != SOURCE) fake_problem("FakeEventLog", "a source closed twice or never opened");
    open_ = false;
  }

 private:
  inline static const platform::EventSourceHandle SOURCE = reinterpret_cast<platform::EventSourceHandle>(0xE7);

  void note(std::string entry) {
    if (journal_ && keep) journal_->push_back(std::move(entry));
  }

  std::vector<std::string>* journal_;
  bool open_ = false;
};

}  // namespace quolin::fakes
