#include "launcher/host_path.h"

#include <cstdint>
#include <limits>

#include "platform/text.h"

namespace quolin {
namespace {

constexpr std::u16string_view HOST_FILE_NAME_UTF16 = u"quolin.exe";
constexpr std::uint32_t FIRST_PATH_BUFFER = 512;
constexpr std::uint32_t LARGEST_PATH_BUFFER = std::numeric_limits<std::uint32_t>::max();

// The last component of the executable's path (either slash separates) replaced by the host's
// file name; an empty path has no component to replace and gives the bare name.
std::u16string host_path_beside(std::u16string_view executable_path) {
  std::u16string_view rest = executable_path;
  // Drop the file name, then the separators in front of it, unless they are a root
  // ("C:\", "\\?\C:\", a leading "\"), which stays as it is.
  while (!rest.empty() && !platform::is_path_separator(rest.back())) rest.remove_suffix(1);
  std::size_t run = rest.size();
  while (run > 0 && platform::is_path_separator(rest[run - 1])) --run;
  bool is_root = run == 0 || rest[run - 1] == u':';
  if (!is_root) rest = rest.substr(0, run);

  std::u16string host(rest);
  if (!host.empty() && !platform::is_path_separator(host.back())) host.push_back(u'\\');
  host += HOST_FILE_NAME_UTF16;
  return host;
}

}  // namespace

std::string resolve_host_path(platform::Processes& api) {
  std::uint32_t size = FIRST_PATH_BUFFER;
  std::u16string buffer;
  for (;;) {
    buffer.assign(size, u'\0');
    platform::SysResult<std::uint32_t> written = api.GetModuleFileNameW(nullptr, buffer.data(), size);
    if (!written) return std::string(HOST_FILE_NAME);
    std::uint32_t n = written.value();
    if (n == size) {
      // Cut short. At the largest buffer there is nowhere left to grow: give up as on failure.
      if (size == LARGEST_PATH_BUFFER) return std::string(HOST_FILE_NAME);
      size = size > LARGEST_PATH_BUFFER / 2 ? LARGEST_PATH_BUFFER : size * 2;
      continue;
    }
    if (n > size) {
      size = n;
      continue;
    }
    buffer.resize(n);
    return platform::wtf8_from_utf16(host_path_beside(buffer));
  }
}

}  // namespace quolin
