// system_error_text over any last-error value and any message the system could hold (any UTF-16
// units): the text ends in the code it looked up, as "0x" and eight upper-case hex digits that
// keep the error's low 16 bits; it asks for one message, from ntdll exactly when that code
// carries an NTSTATUS; and a message that is found is shown before the code, as valid UTF-8
// without trailing white space.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_processes.h"
#include "fuzz_support.h"
#include "launcher/system_error_text.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quolin::fakes::FakeProcesses;
  quolin::fuzz::Input in(data, size);
  const auto error = in.next<std::uint32_t>();
  const std::u16string message = in.rest_as_utf16();

  // First with no message anywhere: the text is the code alone, and the one lookup made,
  // "FormatMessageW(<flags>, <module>, <id>)", says where the message would be.
  FakeProcesses none;
  const std::string code = quolin::system_error_text(none, error);
  FUZZ_CHECK(code.size() == 10 && code.starts_with("0x") && code.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos);
  const auto value = static_cast<std::uint32_t>(std::strtoul(code.c_str() + 2, nullptr, 16));
  FUZZ_CHECK((value & 0xFFFF) == (error & 0xFFFF));
  const auto lookups = std::count_if(none.calls.begin(), none.calls.end(),
                                     [](const std::string& c) { return c.starts_with("FormatMessageW("); });
  FUZZ_CHECK(lookups == 1);
  const std::string& call = *std::find_if(none.calls.begin(), none.calls.end(),
                                          [](const std::string& c) { return c.starts_with("FormatMessageW("); });
  const std::string module = call.substr(call.find(", ") + 2, call.rfind(", ") - call.find(", ") - 2);
  const auto id = static_cast<std::uint32_t>(std::strtoul(call.c_str() + call.rfind(", ") + 2, nullptr, 16));
  const bool nt = (value & quolin::platform::HRESULT_NT_BIT) != 0;
  FUZZ_CHECK((module == "ntdll.dll") == nt && id == (nt ? value & ~quolin::platform::HRESULT_NT_BIT : value));

  // Then with the message where it was looked for: it is shown before the same code.
  FakeProcesses found;
  if (nt) found.set_module_message("ntdll.dll", id, message);
  if (!nt) found.set_system_message(id, message);
  const std::string text = quolin::system_error_text(found, error);
  // Valid UTF-8: it reads back unchanged through the service's converters.
  FUZZ_CHECK(quolin::platform::utf8_from_utf16_lossy(quolin::platform::utf16_from_wtf8(text)) == text);
  if (text == code) return 0;  // a message of white space alone shows nothing
  const std::string tail = " (" + code + ")";
  FUZZ_CHECK(text.size() > tail.size() && text.ends_with(tail));
  const char end = text[text.size() - tail.size() - 1];
  FUZZ_CHECK(end != ' ' && (end < 0x09 || end > 0x0D));
  return 0;
}
