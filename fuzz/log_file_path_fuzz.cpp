// log_file_path over any value of ProgramData (absent, empty, any UTF-16 units): the path ends in
// the log's own folder and file, keeps the value in front unchanged, and puts exactly one
// separator between them; parent_folder gives the log folder back.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "log/log_path.h"

namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool starts_with(const std::u16string& s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && std::u16string_view(s).substr(0, prefix.size()) == prefix;
}

bool ends_with(const std::u16string& s, std::u16string_view suffix) {
  return s.size() >= suffix.size() && std::u16string_view(s).substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quolin::fuzz::Input in(data, size);
  const bool present = (in.u8() & 1) != 0;
  std::optional<std::u16string> base;
  if (present) base = in.rest_as_utf16();

  const std::u16string path = quolin::log_file_path(base);
  constexpr std::u16string_view tail = u"Quolin\\service.log";
  FUZZ_CHECK(ends_with(path, tail));

  // A value that is not text (a lone surrogate) counts as no value.
  const bool usable = base && quolin::fuzz::is_valid_utf16(*base);
  const std::u16string front = usable ? *base : std::u16string(u"C:\\ProgramData");
  FUZZ_CHECK(starts_with(path, front));
  const std::u16string between = path.substr(front.size(), path.size() - front.size() - tail.size());
  if (front.empty() || is_separator(front.back())) {
    FUZZ_CHECK(between.empty());
  } else {
    FUZZ_CHECK(between == u"\\");
  }

  // The folder to make is the path without "\service.log", unless the value starts like a UNC
  // or device path, whose first components belong to the root.
  const bool unc_like = front.size() >= 2 && is_separator(front[0]) && is_separator(front[1]);
  const std::u16string_view folder = quolin::parent_folder(path);
  FUZZ_CHECK(starts_with(path, folder) && folder.size() < path.size());
  if (!unc_like) {
    FUZZ_CHECK(folder == std::u16string_view(path).substr(0, path.size() - std::u16string_view(u"\\service.log").size()));
    FUZZ_CHECK(!quolin::is_bare_root(folder));
  }
  return 0;
}
