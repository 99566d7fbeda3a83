// A stateful fake of the Service Control Manager calls: it records every call, answers as the
// test sets it up, and delivers controls to the handler that was registered last.
//
//   std::vector<std::string> journal;             // shared with the other fakes, to show order
//   FakeServiceControl scm(&journal);
//   scm.fail_report_at = 2;                       // the second status report fails
//   ... register_control_handler(scm, ...) ...
//   scm.control(1);                               // a stop, as the dispatcher thread would
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/service_control.h"

namespace quolin::fakes {

class FakeServiceControl final : public platform::ServiceControl {
 public:
  explicit FakeServiceControl(std::vector<std::string>* journal = nullptr) : journal_(journal) {}

  // ---- set up by the test ----
  std::optional<std::uint32_t> dispatcher_error;  // the dispatcher fails with this code
  std::optional<std::uint32_t> fail_registration;  // with this code
  std::size_t fail_report_at = 0;                   // the n-th SetServiceStatus fails (1-based)
  std::uint32_t report_error = 6;
  // FormatMessageW: the units it writes, at most the buffer's size (nullopt: it fails with
  // `format_error`).
  std::optional<std::u16string> format_text = u"Some message.\r\n";
  std::uint32_t format_error = 317;

  // ---- recorded ----
  platform::ServiceMainFunction dispatcher_main = nullptr;
  std::u16string registered_name;
  platform::HandlerExFunction registered_handler = nullptr;
  std::vector<void*> registered_contexts;  // the handler's contexts, in the order registered
  std::vector<platform::ServiceStatusHandle> status_handles;
  std::vector<platform::SERVICE_STATUS> statuses;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> format_calls;  // flags, message id

  platform::SysStatus StartServiceCtrlDispatcherW(const char16_t* /*service_name*/,
                                                  platform::ServiceMainFunction service_main) override {
    dispatcher_main = service_main;
    if (dispatcher_error) return fail(*dispatcher_error);
    return {};
  }

  platform::SysResult<platform::ServiceStatusHandle> RegisterServiceCtrlHandlerExW(
      const char16_t* service_name, platform::HandlerExFunction handler, void* context) override {
    registered_name = service_name;
    note("register " + std::string(registered_name.begin(), registered_name.end()));
    if (fail_registration) return fail(*fail_registration);
    registered_handler = handler;
    registered_contexts.push_back(context);
    return reinterpret_cast<platform::ServiceStatusHandle>(0x5150 + registered_contexts.size());  // a new one each
  }

  platform::SysStatus SetServiceStatus(platform::ServiceStatusHandle handle,
                                       const platform::SERVICE_STATUS& s) override {
    status_handles.push_back(handle);
    statuses.push_back(s);
    static constexpr const char* STATES[] = {"?", "STOPPED", "?", "STOP_PENDING", "RUNNING"};
    note(std::string("report ") + STATES[std::min<std::uint32_t>(s.dwCurrentState, 4)] +
         " accepted=" + std::to_string(s.dwControlsAccepted) + " exit=" + std::to_string(s.dwWin32ExitCode) +
         " specific=" + std::to_string(s.dwServiceSpecificExitCode) + " checkpoint=" +
         std::to_string(s.dwCheckPoint) + " hint=" + std::to_string(s.dwWaitHint) +
         " type=" + std::to_string(s.dwServiceType) + (statuses.size() == fail_report_at ? " (fails)" : ""));
    if (statuses.size() == fail_report_at) return fail(report_error);
    return {};
  }

  platform::SysResult<std::u16string> FormatMessageW(std::uint32_t flags, std::uint32_t message_id,
                                                     std::uint32_t /*language_id*/, std::uint32_t size) override {
    format_calls.push_back({flags, message_id});
    if (!format_text) return fail(format_error);
    return format_text->substr(0, size);
  }

  // Delivers a control to the latest registration, as the dispatcher thread would.
  std::uint32_t control(std::uint32_t code, std::uint32_t event_type = 0, void* event_data = nullptr) {
    return registered_handler(code, event_type, event_data, registered_contexts.back());
  }

 private:
  void note(std::string entry) {
    if (journal_) journal_->push_back(std::move(entry));
  }

  std::vector<std::string>* journal_;
};

}  // namespace quolin::fakes
