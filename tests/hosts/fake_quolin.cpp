// fake_quolin: a stand-in for the user-session host `quolin.exe`, whose behaviour at each
// launch is decided by the test that placed it. Used by the launcher's Wine tests, the
// end-to-end and packaging tests, the Wine benchmarks and scripts/demo; keep this contract stable.
//
// Files, all in the folder of this executable (never the current directory, which is the
// service's):
//
//   quolin-launches.txt  At start the host appends one LF-ended line and closes the file:
//                            launch=<k> pid=<pid> cmdline=<command line>\n
//                        k is 1 + the number of lines already in the file (delete it to count
//                        from 1 again); pid in decimal; the command line exactly as given
//                        (GetCommandLineW), in UTF-8 (unpaired surrogates as WTF-8).
//   quolin-script.txt    Line k (LF or CR LF line ends) says what launch k does:
//                            run                  stay up until killed (but see below)
//                            exit N after T       exit with code N after T milliseconds (each
//                                                 0 to 4294967295; T 0 exits at once)
//                            exit N after T stamp the same, and just before exiting append
//                                                 one line to quolin-exits.txt (below)
//                            fault                an unhandled access violation (Windows only)
//                        A missing file or line means `run`. Any other line is a mistake in the
//                        test: "fake_quolin: bad script line" on stderr, exit code 0xBAD (2989).
//   quolin-exits.txt     Written only by `stamp` lines, for latency benchmarks:
//                            pid=<pid> code=<N> filetime=<t>\n
//                        t is GetSystemTimePreciseAsFileTime (100 ns units since 1601, UTC),
//                        read after the file is open and before the line is written, so the
//                        process ends a few microseconds after t.
//   quolin-crash.txt     A host that runs checks every 100 ms for this file; when it appears,
//                        the host deletes it and exits with code 3, as a crash would.
//
// Avoid exit code 259: Windows reports it for a process that still runs (STILL_ACTIVE).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/windows_headers.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line); lines.push_back(line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

}  // namespace

int main() {
  std::wstring own(32768, L'\0');
  own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
  const fs::path folder = fs::path(own).parent_path();
  const fs::path launches = folder / L"quolin-launches.txt";
  const std::uint64_t k = 1 + lines_of(launches).size();
  const std::wstring command_line = GetCommandLineW();
  const DWORD pid = GetCurrentProcessId();
  std::ofstream(launches, std::ios::binary | std::ios::app)
      << "launch=" << k << " pid=" << pid << " cmdline="
      << quolin::platform::wtf8_from_utf16(std::u16string(command_line.begin(), command_line.end())) << '\n';

  const std::vector<std::string> script = lines_of(folder / L"quolin-script.txt");
  if (k > script.size() || script[k - 1] == "run") {
    for (std::error_code ignored;;) {
      Sleep(100);
      if (fs::remove(folder / L"quolin-crash.txt", ignored)) return 3;
    }
  }
  if (script[k - 1] == "fault") RaiseException(0xC0000005, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  std::istringstream words(script[k - 1]);
  std::string exit_word, after_word, stamp_word, extra;
  std::uint64_t code = 0;
  std::uint64_t ms = 0;
  const bool parsed = words >> exit_word >> code >> after_word >> ms && exit_word == "exit" &&
                      after_word == "after" && code <= 0xFFFFFFFF && ms <= 0xFFFFFFFF;
  const bool stamp = static_cast<bool>(words >> stamp_word);
  if (!parsed || (stamp && stamp_word != "stamp") || words >> extra) {
    std::fprintf(stderr, "fake_quolin: bad script line %llu: %s\n", static_cast<unsigned long long>(k),
                 script[k - 1].c_str());
    return 0xBAD;
  }
  Sleep(static_cast<DWORD>(ms));
  if (stamp) {
    std::ofstream out(folder / L"quolin-exits.txt", std::ios::binary | std::ios::app);
    // Read last, so that only the write and the exit itself fall after it.
    const std::int64_t now = quolin::platform::win32_files().GetSystemTimePreciseAsFileTime();
    out << "pid=" << pid << " code=" << code << " filetime=" << now << '\n';
  }
  std::fflush(nullptr);
  // The process exit code is unsigned; the C++ runtime passes this int on unchanged.
  std::_Exit(static_cast<int>(code));
}
