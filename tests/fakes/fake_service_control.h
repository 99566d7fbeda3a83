// A stateful fake of the Service Control Manager calls: it records every call in order and
// answers as the test sets it up.
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
  // Result of the dispatcher call and the error it leaves.
  bool dispatcher_succeeds = true;
  std::uint32_t dispatcher_error = 0;
  // Handle returned by the registration; null makes it fail with `register_error`.
  platform::ServiceStatusHandle register_result = reinterpret_cast<void*>(0x5150);
  std::uint32_t register_error = 0;
  // SetServiceStatus answers; when false it fails with `set_status_error`.
  bool set_status_succeeds = true;
  std::uint32_t set_status_error = 0;
  // FormatMessageW: the units it writes (nullopt: it fails with `format_error`), and the count it
  // reports (nullopt: the number of units written).
  std::optional<std::u16string> format_text = u"Some message.\r\n";
  std::optional<std::uint32_t> format_count;
  std::uint32_t format_error = 0;

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

  bool StartServiceCtrlDispatcherW(const char16_t* service_name,
                                   platform::ServiceMainFunction service_main) override {
    calls.push_back("StartServiceCtrlDispatcherW");
    dispatcher_name = service_name;
    dispatcher_main = service_main;
    last_error_ = dispatcher_succeeds ? 0 : dispatcher_error;
    return dispatcher_succeeds;
  }

  platform::ServiceStatusHandle RegisterServiceCtrlHandlerExW(const char16_t* service_name,
                                                              platform::HandlerExFunction handler,
                                                              void* context) override {
    calls.push_back("RegisterServiceCtrlHandlerExW");
    registered_name = service_name;
    registered_handler = handler;
    registered_context = context;
    if (register_result == nullptr) last_error_ = register_error;
    return register_result;
  }

  bool SetServiceStatus(platform::ServiceStatusHandle handle,
                        const platform::SERVICE_STATUS& status) override {
    calls.push_back("SetServiceStatus");
    status_handles.push_back(handle);
    statuses.push_back(status);
    if (!set_status_succeeds) last_error_ = set_status_error;
    return set_status_succeeds;
  }

  std::uint32_t GetLastError() override {
    calls.push_back("GetLastError");
    return last_error_;
  }

  std::uint32_t FormatMessageW(std::uint32_t flags, std::uint32_t message_id,
                               std::uint32_t language_id, char16_t* buffer,
                               std::uint32_t size) override {
    calls.push_back("FormatMessageW");
    format_calls.push_back({flags, message_id, language_id, size});
    if (!format_text) {
      last_error_ = format_error;
      return 0;
    }
    std::size_t n = format_text->size() < size ? format_text->size() : size;
    format_text->copy(buffer, n);
    if (n < size) buffer[n] = u'\0';
    return format_count.value_or(static_cast<std::uint32_t>(n));
  }

  // Makes any later GetLastError answer `code`, as an unrelated failed call would.
  void set_last_error(std::uint32_t code) { last_error_ = code; }

 private:
  std::uint32_t last_error_ = 0;
};

}  // namespace quolin::fakes
