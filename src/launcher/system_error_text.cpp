#include "launcher/system_error_text.h"

#include <cstdio>
#include <string_view>

#include "platform/text.h"

namespace quolin {
namespace {

using platform::HRESULT_NT_BIT;

// HRESULT_FROM_WIN32: success and values that already are HRESULTs stay as they are.
std::uint32_t result_code(std::uint32_t error) {
  if (static_cast<std::int32_t>(error) <= 0) return error;
  return (error & 0xFFFF) | 0x80070000;
}

bool is_trailing_space(char16_t c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

std::string system_message(platform::Processes& api, std::uint32_t code) {
  constexpr std::uint32_t flags = platform::MESSAGE_IGNORE_INSERTS | platform::MESSAGE_FROM_SYSTEM;
  platform::SysResult<std::u16string> text = std::u16string{};
  if (code & HRESULT_NT_BIT) {
    // An NTSTATUS carried in an HRESULT: its text is in ntdll's message table.
    platform::SysResult<platform::Handle> ntdll = api.LoadLibraryExA("ntdll.dll", platform::LOAD_SEARCH_DEFAULT_DIRS);
    text = api.FormatMessageW(flags | platform::MESSAGE_FROM_HMODULE, ntdll ? ntdll.value() : nullptr,
                              code & ~HRESULT_NT_BIT);
  } else {
    text = api.FormatMessageW(flags, nullptr, code);
  }
  if (!text) return {};
  std::u16string_view message(text.value());
  while (!message.empty() && is_trailing_space(message.back())) message.remove_suffix(1);
  return platform::utf8_from_utf16_lossy(message);
}

}  // namespace

std::string system_error_text(platform::Processes& api, std::uint32_t error) {
  std::uint32_t code = result_code(error);
  char hex[11];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  std::string message = system_message(api, code);
  if (message.empty()) return hex;
  return message + " (" + hex + ")";
}

}  // namespace quolin
