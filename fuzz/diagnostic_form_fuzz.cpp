// diagnostic_form over any error code and any message the system could hand back (any UTF-16
// units, or a failed FormatMessageW): the form has its fixed frame, and its quoted part reads
// back (unescaped) as the system's text (of the 2048 units it could write) as UTF-8, less its
// trailing white space, or as a fallback that says why there is none. The one argument name,
// "service name", is the service error test's.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "fakes/fake_service_control.h"
#include "fuzz_support.h"
#include "platform/text.h"
#include "service/service_error.h"

namespace {

constexpr std::string_view WHITE_SPACE = "\t\n\f\r ";

// The text inside a quoted string, or nullopt when it is not one: a quote only at each end, no
// raw tab or line break, and a backslash only before one of the five escapes.
std::optional<std::string> unquote(std::string_view quoted) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return std::nullopt;
  constexpr std::string_view escaped = "\"\\\t\n\r", written = "\"\\tnr";
  std::string out;
  for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] != '\\') {
      if (escaped.find(quoted[i]) != std::string_view::npos) return std::nullopt;
      out += quoted[i];
      continue;
    }
    const std::size_t e = i + 2 < quoted.size() ? written.find(quoted[++i]) : std::string_view::npos;
    if (e == std::string_view::npos) return std::nullopt;
    out += escaped[e];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quolin;
  fuzz::Input in(data, size);
  const std::uint8_t mode = in.u8();
  const std::uint32_t code = in.next<std::uint32_t>();

  fakes::FakeServiceControl api;
  api.format_error = in.next<std::uint32_t>();
  api.format_text.reset();
  if (mode % 4 != 0) {
    // Many copies of a short text reach past the buffer's 2048 units now and then; no further
    // than the first copy past it, as every unit more only costs time.
    const std::size_t copies = mode % 4 == 2 ? 1 + (mode >> 2) * 16 : 1;
    const std::u16string units = in.rest_as_utf16();
    api.format_text.emplace();
    for (std::size_t i = 0; i < copies && api.format_text->size() <= 2048; ++i) *api.format_text += units;
  }

  const std::string form = diagnostic_form(ServiceError::winapi(code), api);
  const std::string head = "Winapi(Os { code: " + std::to_string(code) + ", kind: " +
                           std::string(error_category(code)) + ", message: ";
  FUZZ_CHECK(form.size() >= head.size() + 3 && form.starts_with(head) && form.ends_with(" })"));
  const std::string_view quoted = std::string_view(form).substr(head.size(), form.size() - head.size() - 3);
  const std::optional<std::string> message = unquote(quoted);
  FUZZ_CHECK(message.has_value());
  const std::string fallback = "OS Error " + std::to_string(code) + " (FormatMessageW() returned ";
  if (!api.format_text) {
    // The failed call's own error; never 0, as Wine may fail without setting one.
    const std::string named = message->substr(std::min(fallback.size() + 6, message->size()));
    FUZZ_CHECK(message->starts_with(fallback + "error ") && named != "0)");
    FUZZ_CHECK(api.format_error == 0 || named == std::to_string(api.format_error) + ")");
    return 0;
  }
  const std::u16string_view units = std::u16string_view(*api.format_text).substr(0, 2048);
  if (!platform::is_valid_utf16(units)) {
    FUZZ_CHECK(*message == fallback + "invalid UTF-16)");
    return 0;
  }
  const std::string text = platform::utf8_from_utf16_lossy(units);  // exact for valid UTF-16
  FUZZ_CHECK(text.starts_with(*message) && text.find_first_not_of(WHITE_SPACE, message->size()) == std::string::npos);
  FUZZ_CHECK(message->empty() || WHITE_SPACE.find(message->back()) == std::string_view::npos);
  return 0;
}
