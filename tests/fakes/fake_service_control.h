// A stateful fake of the Service Control Manager calls: it records every call in order, answers
// as the test sets it up, and delivers controls to the handler that was registered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/service_control.h"

namespace quolin::fakes {

class FakeServiceControl final : public platform::ServiceControl {
 public:
  // ---- set up by the test ----
  // Whether the dispatcher call succeeds, and its error when not.
  bool dispatcher_succeeds = true;
  std::uint32_t dispatcher_error = 1063;
  // Handle returned by the registration; null makes it fail with `register_error`.
  platform::ServiceStatusHandle register_result = reinterpret_cast<void*>(0x5150);
  std::uint32_t register_error = 1063;
  // SetServiceStatus answers; when false it fails with `set_status_error`.
  bool set_status_succeeds = true;
  std::uint32_t set_status_error = 6;
  // FormatMessageW: the units it writes, at most the buffer's size (nullopt: it fails with
  // `format_error`).
  std::optional<std::u16string> format_text = u"Some message.\r\n";
  std::uint32_t format_error = 317;

  // ---- recorded ----
  std::vector<std::string> calls;  // names of the calls, in order
  std::u16string dispatcher_name;
  platform::ServiceMainFunction dispatcher_main = nullptr;
  std::u16string registered_name;
  platform::HandlerExFunction registered_handler = nullptr;
  void* registered_context = nullptr;
  std::vector<platform::ServiceStatusHandle> status_handles;
  std::vector<platform::SERVICE_STATUS> statuses;
  struct FormatCall {
    std::uint32_t flags;
    std::uint32_t message_id;
    std::uint32_t language_id;
    std::uint32_t size;
  };
  std::vector<FormatCall> format_calls;

  platform::SysStatus StartServiceCtrlDispatcherW(const char16_t* service_name,
                                                platform::ServiceMainFunction service_main) override {
    calls.push_back("StartServiceCtrlDispatcherW");
    dispatcher_name = service_name;
    dispatcher_main = service_main;
    if (!dispatcher_succeeds) return fail(dispatcher_error);
    return {};
  }

  platform::SysResult<platform::ServiceStatusHandle> RegisterServiceCtrlHandlerExW(
      const char16_t* service_name, platform::HandlerExFunction handler, void* context) override {
    calls.push_back("RegisterServiceCtrlHandlerExW");
    registered_name = service_name;
    registered_handler = handler;
    registered_context = context;
    if (register_result == nullptr) return fail(register_error);
    return register_result;
  }

  platform::SysStatus SetServiceStatus(platform::ServiceStatusHandle handle,
                                       const platform::SERVICE_STATUS& status) override {
    calls.push_back("SetServiceStatus");
    status_handles.push_back(handle);
    statuses.push_back(status);
    if (!set_status_succeeds) return fail(set_status_error);
    return {};
  }

  platform::SysResult<std::u16string> FormatMessageW(std::uint32_t flags, std::uint32_t message_id,
                                                     std::uint32_t language_id, std::uint32_t size) override {
    calls.push_back("FormatMessageW");
    format_calls.push_back({flags, message_id, language_id, size});
    if (!format_text) return fail(format_error);
    return format_text->substr(0, size);
  }

  // Delivers a control to the registered handler, as the dispatcher thread would.
  std::uint32_t control(std::uint32_t code, std::uint32_t event_type = 0, void* event_data = nullptr) {
    return registered_handler(code, event_type, event_data, registered_context);
  }
};

}  // namespace quolin::fakes
