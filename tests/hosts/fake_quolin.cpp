// fake_quolin: a stand-in for the user-session host `quolin.exe`, whose behaviour at each
// launch is decided by the test that placed it. Used by the launcher's Wine tests and by the
// end-to-end tests of the whole service; keep this contract stable.
//
// Files, all in the folder of this executable (never the current directory, which is the
// service's):
//
//   quolin-launches.txt  At start the host appends one line and closes the file at once:
//                            launch=<k> pid=<pid> cmdline=<command line>\n
//                        k is 1 + the number of lines already in the file; pid is this
//                        process's id in decimal; the command line is exactly what the process
//                        was given (GetCommandLineW), in UTF-8 (unpaired surrogates as WTF-8).
//                        Lines end in LF. Delete the file to start counting at 1 again.
//   quolin-script.txt    Line k (LF or CR LF line ends) says what launch k does:
//                            run                  stay up until killed (but see below)
//                            exit N after T       exit with code N (0 to 4294967295) after
//                                                 T milliseconds (0 to 4294967295; 0 exits
//                                                 at once)
//                            exit N after T stamp the same, and just before exiting append
//                                                 one line to quolin-exits.txt (below)
//                        A missing file or a missing line means `run`. Any other line is a
//                        mistake in the test: the host writes "fake_quolin: bad script line"
//                        to standard error and exits with code 0xBAD (2989).
//   quolin-exits.txt     Written only by `stamp` lines, for latency benchmarks:
//                            pid=<pid> code=<N> filetime=<t>\n
//                        t is GetSystemTimePreciseAsFileTime (100 ns units since 1601, UTC),
//                        read after the file is open and before the line is written, so the
//                        process ends a few microseconds after t.
//   quolin-crash.txt     For demonstrations: a host that runs checks every 100 ms for this
//                        file; when it appears, the host deletes it and exits with code 3,
//                        as a crash would.
//
// Avoid exit code 259: Windows reports it for a process that still runs (STILL_ACTIVE).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "hosts/host_identity.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;

constexpr int BAD_SCRIPT_EXIT_CODE = 0xBAD;
constexpr int CRASH_EXIT_CODE = 3;

struct Exit {
  std::uint32_t code;
  std::uint64_t after_ms;
  bool stamp;
};

std::string read_all(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint64_t count_lines(const fs::path& file) {
  std::uint64_t lines = 0;
  for (char c : read_all(file)) lines += c == '\n';
  return lines;
}

// Line k (1-based) of the file, without its line end; nullopt when there is no such line.
std::optional<std::string> line_of(const fs::path& file, std::uint64_t k) {
  std::istringstream text(read_all(file));
  std::string line;
  for (std::uint64_t i = 1; std::getline(text, line); ++i) {
    if (i == k) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
  }
  return std::nullopt;
}

bool parse_number(const std::string& word, std::uint64_t max, std::uint64_t& value) {
  if (word.empty() || word.size() > 20) return false;
  value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// nullopt for `run`; false in `ok` for a line that is neither form.
std::optional<Exit> parse(const std::string& line, bool& ok) {
  ok = true;
  if (line == "run") return std::nullopt;
  std::istringstream words(line);
  std::string exit_word, code_word, after_word, ms_word, stamp_word, extra;
  words >> exit_word >> code_word >> after_word >> ms_word;
  const bool stamp = static_cast<bool>(words >> stamp_word);
  std::uint64_t code = 0;
  std::uint64_t ms = 0;
  if (exit_word == "exit" && after_word == "after" && (!stamp || stamp_word == "stamp") &&
      !(words >> extra) && parse_number(code_word, 0xFFFFFFFF, code) &&
      parse_number(ms_word, 0xFFFFFFFF, ms)) {
    return Exit{static_cast<std::uint32_t>(code), ms, stamp};
  }
  ok = false;
  return std::nullopt;
}

}  // namespace

int main() {
  const fs::path folder = fs::path(quolin::hosts::own_executable_path()).parent_path();
  const fs::path launches = folder / L"quolin-launches.txt";
  const fs::path script = folder / L"quolin-script.txt";

  const std::uint64_t k = 1 + count_lines(launches);
  {
    const std::wstring command_line = quolin::hosts::own_command_line();
    std::ofstream out(launches, std::ios::binary | std::ios::app);
    out << "launch=" << k << " pid=" << quolin::hosts::own_process_id()
        << " cmdline=" << quolin::platform::wtf8_from_utf16(std::u16string(command_line.begin(), command_line.end()))
        << '\n';
  }

  std::optional<Exit> ending;
  if (std::optional<std::string> line = line_of(script, k)) {
    bool ok = true;
    ending = parse(*line, ok);
    if (!ok) {
      std::fprintf(stderr, "fake_quolin: bad script line %llu: %s\n", static_cast<unsigned long long>(k),
                   line->c_str());
      return BAD_SCRIPT_EXIT_CODE;
    }
  }

  if (!ending) {
    const fs::path crash = folder / L"quolin-crash.txt";
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::error_code ignored;
      if (fs::remove(crash, ignored)) return CRASH_EXIT_CODE;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ending->after_ms));
  if (ending->stamp) {
    std::ofstream out(folder / L"quolin-exits.txt", std::ios::binary | std::ios::app);
    // Read last, so that only the write and the exit itself fall after it.
    const std::int64_t now = quolin::platform::win32_files().GetSystemTimePreciseAsFileTime();
    out << "pid=" << quolin::hosts::own_process_id() << " code=" << ending->code << " filetime=" << now << '\n';
  }
  std::fflush(nullptr);
  // The process exit code is unsigned; the C++ runtime passes this int on unchanged.
  std::_Exit(static_cast<int>(ending->code));
}
