// log_file_path over any value of ProgramData (absent, empty, any UTF-16 units): the value stays
// in front unchanged (absent or not text: the default), then the log's folder and file, with
// exactly one separator between them, none after an empty value or one that ends in a separator.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "log/log_path.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  std::optional<std::u16string> base;
  if ((in.u8() & 1) != 0) base = in.rest_as_utf16();

  const std::u16string path = quolin::log_file_path(base);
  const std::u16string front = base && quolin::platform::is_valid_utf16(*base) ? *base : u"C:\\ProgramData";
  constexpr std::u16string_view tail = u"Quolin\\service.log";
  FUZZ_CHECK(path.size() >= front.size() + tail.size() && path.starts_with(front) && path.ends_with(tail));
  const bool separated = front.empty() || front.back() == u'\\' || front.back() == u'/';
  FUZZ_CHECK(path.size() - front.size() - tail.size() == (separated ? 0u : 1u));
  return 0;
}
