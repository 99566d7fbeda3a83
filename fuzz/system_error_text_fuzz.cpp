// system_error_text over any last-error value and any message the system could hold (any UTF-16
// units): the text ends in the code it looked up, as "0x" and eight upper-case hex digits that
// keep the error's low 16 bits; the message is looked for in ntdll exactly when that code
// carries an NTSTATUS; and one that is found is shown before the code, as valid UTF-8 without
// trailing white space.
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

  // With no message anywhere the text is the code alone.
  FakeProcesses none;
  const std::string code = quolin::system_error_text(none, error);
  FUZZ_CHECK(code.size() == 10 && code.starts_with("0x") && code.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos);
  const auto value = static_cast<std::uint32_t>(std::strtoul(code.c_str() + 2, nullptr, 16));
  FUZZ_CHECK((value & 0xFFFF) == (error & 0xFFFF));

  // With the message where that code's belongs (ntdll's table for an NTSTATUS), it is found and
  // shown before the same code, unless it is white space alone.
  const bool nt = (value & quolin::platform::HRESULT_NT_BIT) != 0;
  FakeProcesses found;
  if (nt) found.set_module_message("ntdll.dll", value & ~quolin::platform::HRESULT_NT_BIT, message);
  if (!nt) found.set_system_message(value, message);
  const std::string text = quolin::system_error_text(found, error);
  FUZZ_CHECK((text == code) == (message.find_first_not_of(u"\t\n\v\f\r ") == std::u16string::npos));
  // Valid UTF-8: it reads back unchanged through the service's converters.
  FUZZ_CHECK(quolin::platform::utf8_from_utf16_lossy(quolin::platform::utf16_from_wtf8(text)) == text);
  if (text == code) return 0;
  const std::string tail = " (" + code + ")";
  FUZZ_CHECK(text.size() > tail.size() && text.ends_with(tail));
  const char end = text[text.size() - tail.size() - 1];
  FUZZ_CHECK(end != ' ' && (end < 0x09 || end > 0x0D));
  return 0;
}
