// system_error_text over any last-error value and any message the system could allocate (any
// UTF-16 units, or none): the text is the message as valid UTF-8 without trailing white space,
// then the code as HRESULT in "0x" and eight upper-case hex digits; or the code alone. The
// message buffer is given back exactly once, and an NTSTATUS takes its message from ntdll.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_processes.h"
#include "launcher/system_error_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quolin::fuzz::FuzzProcesses;
  quolin::fuzz::Input in(data, size);
  const std::uint8_t mode = in.u8();
  const std::uint32_t error = in.u32();
  FuzzProcesses api;
  if (mode & 1) api.message = in.rest_as_utf16();

  const std::string text = quolin::system_error_text(api, error);

  // HRESULT_FROM_WIN32: values that are already HRESULTs (or success) stay as they are.
  const std::uint32_t code = static_cast<std::int32_t>(error) <= 0 ? error : ((error & 0xFFFF) | 0x80070000);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));

  std::u16string message = api.message.value_or(u"");
  while (!message.empty() && (message.back() == u' ' || (message.back() >= 0x09 && message.back() <= 0x0D))) {
    message.pop_back();
  }
  FUZZ_CHECK(quolin::fuzz::is_valid_utf8(text));
  if (message.empty()) {
    FUZZ_CHECK(text == hex);
  } else {
    const std::string tail = std::string(" (") + hex + ")";
    FUZZ_CHECK(text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail);
    const std::string shown = text.substr(0, text.size() - tail.size());
    // Where the message is UTF-16 it is shown unchanged; a lone surrogate becomes U+FFFD.
    if (auto exact = quolin::fuzz::utf8_of(message)) FUZZ_CHECK(shown == *exact);
  }

  FUZZ_CHECK(api.buffers_live == 0);
  FUZZ_CHECK(api.format_calls.size() == 1);
  const auto& call = api.format_calls.front();
  constexpr std::uint32_t from_module = 0x800;
  constexpr std::uint32_t nt_bit = 0x10000000;
  if (code & nt_bit) {
    FUZZ_CHECK(api.loaded_modules.size() == 1 && api.loaded_modules.front() == "ntdll.dll");
    FUZZ_CHECK((call.flags & from_module) != 0 && call.source == api.ntdll);
    FUZZ_CHECK(call.message_id == (code & ~nt_bit));
  } else {
    FUZZ_CHECK(api.loaded_modules.empty());
    FUZZ_CHECK((call.flags & from_module) == 0 && call.source == nullptr);
    FUZZ_CHECK(call.message_id == code);
  }
  return 0;
}
