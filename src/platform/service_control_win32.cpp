#include "platform/service_control.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "platform/windows_headers.h"

// After windows.h: the list of the portable code's SCM codes, each checked against windows.h's value.
#include "platform/scm_codes.h"

namespace quolin::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 units on both sides of the boundary");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(::SERVICE_STATUS) == sizeof(SERVICE_STATUS), "seven 32-bit fields");
static_assert(sizeof(void*) == 8, "the service is a 64-bit program");
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): checks the list against windows.h
#define QUOLIN_SCM_CHECK(name, value) static_assert((name) == (value), #name " agrees with windows.h");
QUOLIN_SCM_CODES(QUOLIN_SCM_CHECK)
#undef QUOLIN_SCM_CHECK

// Windows reads and writes wchar_t, the portable side speaks char16_t. The two are distinct
// types that may not alias, so text crosses the boundary as a copy.
std::wstring to_wchar(const char16_t* text) {
  std::u16string_view units(text);
  return std::wstring(units.begin(), units.end());
}

// The dispatcher table holds a plain function pointer with no context, so the portable service
// main waits here for the one dispatcher call a process can make. It is stored before the
// dispatcher starts the service thread; the atomic keeps that hand-over well defined.
std::atomic<ServiceMainFunction> g_service_main{nullptr};

void WINAPI service_main_trampoline(DWORD argc, LPWSTR* argv) noexcept {
  ServiceMainFunction target = g_service_main.load(std::memory_order_acquire);
  if (target == nullptr) return;
  // The arguments as char16_t strings of our own, alive for the length of the call.
  std::vector<std::u16string> owned;
  owned.reserve(argc);
  std::vector<char16_t*> pointers;
  pointers.reserve(static_cast<std::size_t>(argc) + 1);
  for (DWORD i = 0; i < argc; ++i) {
    if (argv == nullptr || argv[i] == nullptr) {
      pointers.push_back(nullptr);
      continue;
    }
    std::wstring_view units(argv[i]);
    owned.emplace_back(units.begin(), units.end());
    pointers.push_back(owned.back().data());
  }
  pointers.push_back(nullptr);
  target(argc, pointers.data());
}

// The registration's context: the portable handler and its own context. Like the handler's
// context it is never freed once registered, since the system may call the handler until the
// process ends.
struct HandlerBinding {
  HandlerExFunction handler;
  void* context;
};

DWORD WINAPI handler_trampoline(DWORD control, DWORD event_type, LPVOID event_data,
                                LPVOID context) noexcept {
  auto* binding = static_cast<HandlerBinding*>(context);
  return binding->handler(control, event_type, event_data, binding->context);
}

class Win32ServiceControl final : public ServiceControl {
 public:
  SysStatus StartServiceCtrlDispatcherW(const char16_t* service_name,
                                        ServiceMainFunction service_main) override {
    g_service_main.store(service_main, std::memory_order_release);
    std::wstring name = to_wchar(service_name);
    SERVICE_TABLE_ENTRYW table[2] = {
        {name.data(), &service_main_trampoline},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) return last_failure();
    return {};
  }

  SysResult<ServiceStatusHandle> RegisterServiceCtrlHandlerExW(const char16_t* service_name,
                                                               HandlerExFunction handler,
                                                               void* context) override {
    std::wstring name = to_wchar(service_name);
    auto* binding = new HandlerBinding{handler, context};
    SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(name.c_str(), &handler_trampoline, binding);
    if (handle == nullptr) {
      SysError error(::GetLastError());
      // Nothing will ever call the handler, so the binding goes.
      delete binding;
      return fail(error);
    }
    return ServiceStatusHandle{handle};
  }

  SysStatus SetServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status) override {
    ::SERVICE_STATUS raw{};
    raw.dwServiceType = status.dwServiceType;
    raw.dwCurrentState = status.dwCurrentState;
    raw.dwControlsAccepted = status.dwControlsAccepted;
    raw.dwWin32ExitCode = status.dwWin32ExitCode;
    raw.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    raw.dwCheckPoint = status.dwCheckPoint;
    raw.dwWaitHint = status.dwWaitHint;
    if (!::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &raw)) {
      return last_failure();
    }
    return {};
  }

  SysResult<std::u16string> FormatMessageW(std::uint32_t flags, std::uint32_t message_id,
                                           std::uint32_t language_id, std::uint32_t size) override {
    // The source is always null and the buffer ours: flags that would read a source or
    // allocate a buffer have no meaning here.
    constexpr DWORD unsupported =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE;
    if ((flags & unsupported) != 0) return fail(static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    std::vector<wchar_t> units(size == 0 ? 1 : size);
    DWORD written = ::FormatMessageW(flags, nullptr, message_id, language_id, units.data(), size, nullptr);
    if (written == 0) return last_failure();
    if (written > size) written = size;
    return std::u16string(units.begin(), units.begin() + written);
  }
};

}  // namespace

ServiceControl& win32_service_control() {
  static auto& control = *new Win32ServiceControl;
  return control;
}

}  // namespace quolin::platform
