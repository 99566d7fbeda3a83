// resolve_host_path over any executable path the system could report (any UTF-16 units, of any
// length, in the ways GetModuleFileNameW answers a short buffer), and over its failure: the
// result is quolin.exe in the executable's folder, as WTF-8 that converts back to the very units.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_processes.h"
#include "fuzz_support.h"
#include "launcher/host_path.h"
#include "platform/text.h"

namespace {

bool is_separator(char16_t c) { return c == u'\\' || c == u'/'; }

// The buffer size of the last GetModuleFileNameW call, from the fake's call log.
std::size_t last_buffer_size(const quolin::fakes::Calls& calls) {
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->rfind("GetModuleFileNameW(", 0) == 0) return std::strtoull(it->c_str() + it->rfind(' ') + 1, nullptr, 10);
  }
  return 0;
}

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
  quolin::fuzz::Input in(data, size);
  quolin::fakes::FakeProcesses api;
  // The ways GetModuleFileNameW answers: cut short to the buffer (as Windows), the size needed
  // (as some systems), or a failure.
  const std::uint8_t mode = in.u8();
  const bool fails = mode % 3 == 2;
  api.report_needed_path_size = mode % 3 == 1;
  if (fails) api.failures["GetModuleFileNameW"] = 5;
  // A path ends at its first NUL: the system's answer holds none.
  std::u16string path = in.rest_as_utf16();
  path = path.substr(0, path.find(u'\0'));
  // Short inputs stand for long paths too: bit 5 of the mode stretches the path, repeating it,
  // to a length at an edge of the buffers the service tries (512, 1024, 2048 units), picked by
  // bits 2-4. Only those lengths: every unit costs the same checks, and stretching each input
  // to thousands of units made this target twenty times slower than the others while it
  // reached no edge that these do not.
  static constexpr std::size_t EDGE_LENGTHS[] = {511, 512, 513, 1023, 1024, 1025, 2047, 2048};
  std::u16string long_path = path;
  if ((mode & 0x20) != 0 && !path.empty() && path.size() < EDGE_LENGTHS[(mode >> 2) % 8]) {
    const std::size_t length = EDGE_LENGTHS[(mode >> 2) % 8];
    long_path.reserve(length);
    while (long_path.size() < length) long_path.append(path, 0, length - long_path.size());
  }
  api.executable_path = long_path;

  const std::string host = quolin::resolve_host_path(api);

  if (fails) {
    FUZZ_CHECK(host == "quolin.exe");
    return 0;
  }
  const std::u16string units = quolin::platform::utf16_from_wtf8(host);
  FUZZ_CHECK(quolin::platform::wtf8_from_utf16(units) == host);
  FUZZ_CHECK(units == expected_folder(long_path) + u"quolin.exe");
  // The buffer grew until the whole path fitted.
  FUZZ_CHECK(last_buffer_size(api.calls) > long_path.size());
  return 0;
}
