// to_wide_name over any bytes: a name with a NUL before its last byte is refused as
// ArgumentHasNulByte; any other becomes UTF-16 units with exactly one NUL, at the end, which for
// UTF-8 text read back as the very name.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/text.h"
#include "service/wide_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto wide = quolin::to_wide_name(text);
  const std::string name = text.substr(0, text.find('\0'));
  if (name.size() + 1 < text.size()) {
    FUZZ_CHECK(!wide && wide.error() == quolin::ServiceError::argument_has_nul_byte("service name"));
    return 0;
  }
  FUZZ_CHECK(wide.ok() && std::count(wide.value().begin(), wide.value().end(), u'\0') == 1);
  const std::u16string_view units(wide.value());
  FUZZ_CHECK(units.back() == u'\0');
  // Units that are text and replace nothing (so the name was UTF-8) read back as the name.
  const std::u16string_view body = units.substr(0, units.size() - 1);
  if (quolin::platform::is_valid_utf16(body) && body.find(u'\uFFFD') == std::u16string_view::npos) {
    FUZZ_CHECK(quolin::platform::utf8_from_utf16_lossy(body) == name);
  }
  return 0;
}
