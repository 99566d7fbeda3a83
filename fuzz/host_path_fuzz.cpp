// resolve_host_path over any executable path the system could report (any UTF-16 units, of any
// length, in the ways GetModuleFileNameW answers a short buffer), and over its failure: the
// result is quolin.exe in the executable's folder, as WTF-8 that converts back to the very units.
#include <cstdint>
#include <string>

#include "fuzz_processes.h"
#include "launcher/host_path.h"
#include "platform/text.h"

namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

// The folder part of `path` as the host's path keeps it: everything up to its last separator,
// with the run of separators there written as one backslash, unless what comes before the run
// is a root ("", "C:"), which keeps its separators as they are. Empty without any separator.
std::u16string expected_folder(const std::u16string& path) {
  const std::size_t last = path.find_last_of(u"\\/");
  if (last == std::u16string::npos) return {};
  std::size_t run_start = last;
  while (run_start > 0 && is_separator(path[run_start - 1])) --run_start;
  const std::u16string before = path.substr(0, run_start);
  if (before.empty() || before.back() == u':') return path.substr(0, last + 1);
  return before + u"\\";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quolin::fuzz::FuzzProcesses;
  quolin::fuzz::Input in(data, size);
  FuzzProcesses api;
  const std::uint8_t mode = in.u8();
  api.path_mode = mode % 3 == 0   ? FuzzProcesses::PathMode::Fills
                  : mode % 3 == 1 ? FuzzProcesses::PathMode::ReportsNeeded
                                  : FuzzProcesses::PathMode::Fails;
  // A path ends at its first NUL: the system's answer holds none.
  std::u16string path = in.rest_as_utf16();
  path = path.substr(0, path.find(u'\0'));
  // Short inputs stand for long paths too: a length byte repeats the path up to past the first
  // buffers (512 and 1024 units).
  const std::size_t repeat = (mode >> 2) % 8;
  std::u16string long_path = path;
  for (std::size_t i = 0; i < repeat * 64 && !path.empty() && long_path.size() < 5000; ++i) long_path += path;
  api.executable_path = long_path;

  const std::string host = quolin::resolve_host_path(api);

  if (api.path_mode == FuzzProcesses::PathMode::Fails) {
    FUZZ_CHECK(host == "quolin.exe");
    return 0;
  }
  const std::u16string units = quolin::platform::utf16_from_wtf8(host);
  FUZZ_CHECK(quolin::platform::wtf8_from_utf16(units) == host);
  FUZZ_CHECK(units == expected_folder(long_path) + u"quolin.exe");
  // The buffer grew until the whole path fitted.
  FUZZ_CHECK(!api.path_buffer_sizes.empty() && api.path_buffer_sizes.back() > long_path.size());
  return 0;
}
