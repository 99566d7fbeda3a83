// system_error_text over any last-error value and any message the system could hold (any UTF-16
// units): the text ends in the code it looked up, as "0x" and eight upper-case hex digits that
// keep the error's low 16 bits; it asks for one message, from ntdll exactly when that code
// carries an NTSTATUS; and where the message is found it is shown before the code, as valid
// UTF-8 without trailing white space.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_processes.h"
#include "fuzz_support.h"
#include "launcher/system_error_text.h"
#include "platform/text.h"

namespace {

using quolin::fakes::FakeProcesses;

// The one FormatMessageW the text was made from: its source module and message id.
struct Lookup {
  std::string module;
  std::uint32_t id = 0;
  int count = 0;
};

Lookup lookup_of(const FakeProcesses& api) {
  Lookup l;
  for (const std::string& call : api.calls) {
    if (call.rfind("FormatMessageW(", 0) != 0) continue;
    const std::size_t first = call.find(", ");
    const std::size_t last = call.rfind(", ");
    l.module = call.substr(first + 2, last - first - 2);
    l.id = static_cast<std::uint32_t>(std::strtoul(call.c_str() + last + 2, nullptr, 16));
    ++l.count;
  }
  return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  const std::uint32_t error = in.u32();
  const std::u16string message = in.rest_as_utf16();

  // First with no message anywhere: the text is the code alone.
  FakeProcesses none;
  const std::string code = quolin::system_error_text(none, error);
  FUZZ_CHECK(code.size() == 10 && code.rfind("0x", 0) == 0);
  FUZZ_CHECK(code.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos);
  const auto value = static_cast<std::uint32_t>(std::strtoul(code.c_str() + 2, nullptr, 16));
  FUZZ_CHECK((value & 0xFFFF) == (error & 0xFFFF));
  const Lookup asked = lookup_of(none);
  FUZZ_CHECK(asked.count == 1);
  const bool nt = (value & quolin::platform::HRESULT_NT_BIT) != 0;
  FUZZ_CHECK((asked.module == "ntdll.dll") == nt);
  FUZZ_CHECK(asked.id == (nt ? value & ~quolin::platform::HRESULT_NT_BIT : value));

  // Then with the message where it was looked for: it is shown before the same code.
  FakeProcesses found;
  if (nt) found.set_module_message("ntdll.dll", asked.id, message);
  if (!nt) found.set_system_message(asked.id, message);
  const std::string text = quolin::system_error_text(found, error);
  FUZZ_CHECK(quolin::fuzz::is_valid_utf8(text));
  if (text == code) return 0;  // a message of white space alone shows nothing
  const std::string tail = " (" + code + ")";
  FUZZ_CHECK(text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
  const std::string shown = text.substr(0, text.size() - tail.size());
  const char end = shown.back();
  FUZZ_CHECK(end != ' ' && (end < 0x09 || end > 0x0D));
  // Where the message is UTF-16 it is shown unchanged up to its trailing white space.
  if (quolin::fuzz::is_valid_utf16(message)) {
    FUZZ_CHECK(quolin::platform::utf8_from_utf16_lossy(message).starts_with(shown));
  }
  return 0;
}
