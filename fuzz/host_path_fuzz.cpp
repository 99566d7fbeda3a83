// resolve_host_path over any executable path the system could report (any UTF-16 units, of any
// length, in the ways GetModuleFileNameW answers a short buffer), and over its failure: the
// result is WTF-8 that converts back to the very units, quolin.exe after the executable's own
// folder, with the buffer grown until the whole path fitted. The exact folder each path gives is
// the launcher tests' table.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_processes.h"
#include "fuzz_support.h"
#include "launcher/host_path.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quolin::platform::is_path_separator;
  quolin::fuzz::Input in(data, size);
  quolin::fakes::FakeProcesses api;
  // Cut short to the buffer (as Windows), the size needed (as some systems), or a failure.
  const std::uint8_t mode = in.u8();
  api.report_needed_path_size = mode % 3 == 1;
  if (mode % 3 == 2) api.failures["GetModuleFileNameW"] = 5;
  // A path ends at its first NUL. Bit 5 stretches a short one, repeating it, to a length at an
  // edge of the buffers the service tries (512, 1024, 2048 units), picked by bits 2-4.
  std::u16string path = in.rest_as_utf16();
  path = path.substr(0, path.find(u'\0'));
  static constexpr std::size_t EDGE_LENGTHS[] = {511, 512, 513, 1023, 1024, 1025, 2047, 2048};
  const std::size_t length = EDGE_LENGTHS[(mode >> 2) % 8];
  if ((mode & 0x20) != 0 && !path.empty()) {
    const std::u16string piece = path;
    while (path.size() < length) path.append(piece, 0, length - path.size());
  }
  api.executable_path = path;

  const std::string host = quolin::resolve_host_path(api);
  const std::u16string units = quolin::platform::utf16_from_wtf8(host);
  FUZZ_CHECK(quolin::platform::wtf8_from_utf16(units) == host);
  if (mode % 3 == 2) {
    FUZZ_CHECK(host == "quolin.exe");
    return 0;
  }
  // The folder, less its trailing separators, begins the path, and only separators and a last
  // name without one follow it (so a path without a folder gives the name alone).
  constexpr std::u16string_view NAME = u"quolin.exe";
  FUZZ_CHECK(units.ends_with(NAME));
  std::u16string_view folder = std::u16string_view(units).substr(0, units.size() - NAME.size());
  FUZZ_CHECK(folder.empty() || is_path_separator(folder.back()));
  while (!folder.empty() && is_path_separator(folder.back())) folder.remove_suffix(1);
  FUZZ_CHECK(path.starts_with(folder));
  std::u16string_view rest = std::u16string_view(path).substr(folder.size());
  FUZZ_CHECK(folder.empty() || (!rest.empty() && is_path_separator(rest.front())));
  while (!rest.empty() && is_path_separator(rest.front())) rest.remove_prefix(1);
  FUZZ_CHECK(rest.find_first_of(u"\\/") == std::u16string_view::npos);
  // The buffer grew until the whole path fitted: the last call's size is past its length.
  const auto call = std::find_if(api.calls.rbegin(), api.calls.rend(),
                                 [](const std::string& c) { return c.starts_with("GetModuleFileNameW("); });
  FUZZ_CHECK(call != api.calls.rend() && std::strtoull(call->c_str() + call->rfind(' ') + 1, nullptr, 10) > path.size());
  return 0;
}
