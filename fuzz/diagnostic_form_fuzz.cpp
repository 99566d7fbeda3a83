// diagnostic_form over any error code and any message the system could hand back (any UTF-16
// units, or a failed FormatMessageW), and over any argument name: the form
// has its fixed frame, is valid UTF-8, and its quoted part reads back (unescaped) as exactly
// the message, which itself is the system's text as UTF-8 without trailing white space.
#include <cstdint>
#include <optional>
#include <string>

#include "fakes/fake_service_control.h"
#include "fuzz_support.h"
#include "platform/system_error.h"
#include "service/service_error.h"

namespace {

// The text inside a quoted string, or nullopt when it is not one: a quote only at each end,
// and a backslash only before one of the five escapes.
std::optional<std::string> unquote(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    const char c = quoted[i];
    if (c == '"' || c == '\t' || c == '\n' || c == '\r') return std::nullopt;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 2 >= quoted.size()) return std::nullopt;
    switch (quoted[++i]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return std::nullopt;
    }
  }
  return out;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// The message as the service must show it: the units the system wrote (at most the 2048 of
// the buffer), as UTF-8 without trailing white space; or the fallback texts.
std::string expected_message(const quolin::fakes::FakeServiceControl& api, std::uint32_t code) {
  const std::string os_error = "OS Error " + std::to_string(code) + " (FormatMessageW() returned ";
  // A failure reported with code 0 is still a failure, with the code SysError gives it.
  if (!api.format_text) {
    return os_error + "error " + std::to_string(quolin::platform::SysError(api.format_error).code()) + ")";
  }
  constexpr std::size_t buffer = 2048;
  auto text = quolin::fuzz::utf8_of(api.format_text->substr(0, buffer));
  if (!text) return os_error + "invalid UTF-16)";
  while (!text->empty() && std::string_view("\t\n\f\r ").find(text->back()) != std::string_view::npos) {
    text->pop_back();
  }
  return *text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quolin;
  fuzz::Input in(data, size);
  const std::uint8_t mode = in.u8();
  const std::uint32_t code = in.u32();

  fakes::FakeServiceControl api;
  if (mode % 4 == 3) {
    // An argument's name holding anything at all.
    const std::string name = in.rest();
    const std::string form = diagnostic_form(ServiceError::argument_has_nul_byte(name), api);
    FUZZ_CHECK(starts_with(form, "ArgumentHasNulByte(") && ends_with(form, ")"));
    auto inner = unquote(std::string_view(form).substr(19, form.size() - 20));
    FUZZ_CHECK(inner && *inner == name);
    FUZZ_CHECK(api.format_calls.empty());
    return 0;
  }
  api.format_error = in.u32();
  if (mode % 4 == 0) {
    api.format_text.reset();
  } else {
    // Many copies of a short text reach past the buffer's 2048 units now and then; no further
    // than the first copy past it, as every unit more only costs time.
    const std::size_t copies = mode % 4 == 2 ? 1 + (mode >> 2) * 16 : 1;
    const std::u16string units = in.rest_as_utf16();
    std::u16string text;
    for (std::size_t i = 0; i < copies && text.size() <= 2048; ++i) text += units;
    api.format_text = text;
  }

  const std::string message = expected_message(api, code);
  FUZZ_CHECK(system_message_text(api, code) == message);

  const std::string form = diagnostic_form(ServiceError::winapi(code), api);
  FUZZ_CHECK(fuzz::is_valid_utf8(form));
  const std::string head = "Winapi(Os { code: " + std::to_string(code) +
                           ", kind: " + std::string(error_category(code)) + ", message: ";
  FUZZ_CHECK(starts_with(form, head) && ends_with(form, " })"));
  auto inner = unquote(std::string_view(form).substr(head.size(), form.size() - head.size() - 3));
  FUZZ_CHECK(inner && *inner == message);
  return 0;
}
