// system_error_text over any last-error value and any message the system could allocate (any
// UTF-16 units, or none): the text is the message as valid UTF-8 without trailing white space,
// then the code as HRESULT in "0x" and eight upper-case hex digits; or the code alone. An
// NTSTATUS takes its message from ntdll, anything else from the system's table.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "fakes/fake_processes.h"
#include "fuzz_support.h"
#include "launcher/system_error_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  const std::uint8_t mode = in.u8();
  const std::uint32_t error = in.u32();

  // HRESULT_FROM_WIN32: values that are already HRESULTs (or success) stay as they are.
  const std::uint32_t code = static_cast<std::int32_t>(error) <= 0 ? error : ((error & 0xFFFF) | 0x80070000);
  constexpr std::uint32_t nt_bit = 0x10000000;
  const bool from_ntdll = (code & nt_bit) != 0;
  const std::uint32_t message_id = code & ~nt_bit;

  // The message exists only where the code must look for it: from anywhere else the lookup
  // fails and the text is the code alone.
  quolin::fakes::FakeProcesses api;
  std::optional<std::u16string> message;
  if (mode & 1) message = in.rest_as_utf16();
  if (message && from_ntdll) api.set_module_message("ntdll.dll", message_id, *message);
  if (message && !from_ntdll) api.set_system_message(message_id, *message);

  const std::string text = quolin::system_error_text(api, error);

  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  std::u16string trimmed = message.value_or(u"");
  while (!trimmed.empty() && (trimmed.back() == u' ' || (trimmed.back() >= 0x09 && trimmed.back() <= 0x0D))) {
    trimmed.pop_back();
  }
  FUZZ_CHECK(quolin::fuzz::is_valid_utf8(text));
  if (trimmed.empty()) {
    FUZZ_CHECK(text == hex);
  } else {
    const std::string tail = std::string(" (") + hex + ")";
    FUZZ_CHECK(text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail);
    const std::string shown = text.substr(0, text.size() - tail.size());
    // Where the message is UTF-16 it is shown unchanged; a lone surrogate becomes U+FFFD.
    if (auto exact = quolin::fuzz::utf8_of(trimmed)) FUZZ_CHECK(shown == *exact);
  }

  // One message lookup, and ntdll loaded only for an NTSTATUS.
  std::size_t lookups = 0;
  std::size_t loads = 0;
  for (const std::string& call : api.calls) {
    lookups += call.rfind("FormatMessageW(", 0) == 0;
    loads += call.rfind("LoadLibraryExA(", 0) == 0;
  }
  FUZZ_CHECK(lookups == 1);
  FUZZ_CHECK(loads == (from_ntdll ? 1u : 0u));
  return 0;
}
