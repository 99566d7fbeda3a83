// to_wide_name over any bytes: a name without an inner NUL becomes its UTF-16 units with exactly
// one NUL, at the end; a name with a NUL before its last byte is refused as ArgumentHasNulByte.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "service/wide_name.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  const std::string text = in.rest();

  auto wide = quolin::to_wide_name(text);
  const std::size_t nul = text.find('\0');
  const bool inner_nul = nul != std::string::npos && nul + 1 != text.size();
  if (inner_nul) {
    FUZZ_CHECK(!wide);
    FUZZ_CHECK(wide.error().kind == quolin::ServiceError::Kind::ArgumentHasNulByte);
    FUZZ_CHECK(wide.error().argument == "service name");
    FUZZ_CHECK(wide.error().text() == "service name contains a nul byte");
    return 0;
  }
  FUZZ_CHECK(wide.ok());
  const std::u16string& units = wide.value();
  FUZZ_CHECK(!units.empty() && units.back() == u'\0');
  FUZZ_CHECK(std::count(units.begin(), units.end(), u'\0') == 1);
  // Text that is UTF-8 converts unit for unit; a terminating NUL of the name is not doubled.
  const std::string name = nul == std::string::npos ? text : text.substr(0, nul);
  if (auto expected = quolin::fuzz::utf16_of(name)) {
    FUZZ_CHECK(units == *expected + u'\0');
  }
  return 0;
}
