// log_append_bench: the cost of one ServiceLog::write_line through the real Win32 calls, with a
// log of a few bytes and with a log of 1 GiB. Appending never looks at what the file holds, so
// the two must cost the same. Beside them, what the log's guard costs: the same line appended
// bare (CreateFileW for append, one NtWriteFile, CloseHandle; no folder made, opened or judged,
// the file not judged either) to a third log of a few bytes.
//
//   log_append_bench.exe <work folder> <lines per log>
//
// Makes <work folder>\small, <work folder>\large and <work folder>\bare, each used as
// ProgramData in turn, so the lines go to <root>\Quolin\service.log. Before every timed line
// each log is cut back to its starting size (5 bytes, or 1 GiB and 5 bytes, nearly all of it a
// hole), so every line meets the same file; the three logs take turns, in rotating order, so
// that load on the machine falls on all alike, and each round gives one difference (large
// against small) and one ratio (small against bare).
// Prints key=value lines (times in microseconds); exits non-zero when a line cannot be written.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "log/event_log_sink.h"
#include "log/log_format.h"
#include "log/service_log.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "probes.h"
#include "stats.h"

namespace {

namespace fs = std::filesystem;
using namespace quolin;

constexpr std::uint64_t SMALL_SIZE = 5;  // "seed\n"
// 1 GiB and the same 5 bytes, so that both logs end inside a block: cut back to a block
// boundary, the big one would have its last block freed and allocated again by every line.
constexpr std::uint64_t LARGE_SIZE = (std::uint64_t{1} << 30) + SMALL_SIZE;
constexpr int WARM_UP_LINES = 50;
// As long as a typical line of the service.
constexpr const char* MESSAGE = "user-session host pid=1234 exited (code=0x00000003 (3), consecutive_crashes=1)";

struct Log {
  const char* name;
  std::u16string root;  // the ProgramData value
  std::uint64_t size;   // what the file is cut back to before each line
  bool guarded;         // through ServiceLog::write_line, or bare_line
  std::vector<double> micros;

  std::u16string file() const { return root + u"\\Quolin\\service.log"; }
};

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
fs::path as_path(const std::u16string& s) { return fs::path(std::wstring(s.begin(), s.end())); }

// The line as the log writes it, appended with no guard at all.
Status<LogError> bare_line(platform::Files& files, const std::u16string& path) {
  platform::SysResult<platform::UniqueHandle> file = files.CreateFileW(
      path, platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS, 0);
  if (!file) return fail(LogError::os(file.error().code()));
  const std::string line = format_timestamp(files.GetSystemTimePreciseAsFileTime()) + std::string(LOG_TAG) +
                           MESSAGE + std::string(LOG_LINE_END);
  // One write where write_line makes four (one per piece): part of what the guard's figure holds.
  platform::SysResult<std::size_t> written = files.NtWriteFile(file.value().get(), line);
  if (!written) return fail(LogError::os(written.error().code()));
  if (written.value() != line.size()) return fail(LogError::write_zero());
  return {};
}

// One timed line; false (with a message) when it could not be written.
bool timed_line(ServiceLog& log, Log& target, bool record) {
  if (!probes::set_file_size(target.file(), target.size) ||
      !probes::set_environment_variable(u"ProgramData", target.root)) {
    std::fprintf(stderr, "log_append_bench: cannot prepare the %s log\n", target.name);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  Status<LogError> written =
      target.guarded ? log.write_line(MESSAGE) : bare_line(platform::win32_files(), target.file());
  const auto end = std::chrono::steady_clock::now();
  if (!written) {
    std::fprintf(stderr, "log_append_bench: %s log: %s\n", target.name, written.error().text().c_str());
    return false;
  }
  if (record) target.micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  return true;
}

// The line must have gone to the end of the big file, not over its start.
bool landed_at_end(const Log& log) {
  std::ifstream in(as_path(log.file()), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(log.size));
  std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return tail.find(MESSAGE) != std::string::npos && tail.back() == '\n';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: log_append_bench <work folder> <lines per log>\n");
    return 2;
  }
  const std::u16string folder = u16(argv[1]);
  const int lines = std::atoi(argv[2]);
  if (lines < 1) return 2;

  Log logs[] = {{"small", folder + u"\\small", SMALL_SIZE, true, {}},
                {"large", folder + u"\\large", LARGE_SIZE, true, {}},
                {"bare", folder + u"\\bare", SMALL_SIZE, false, {}}};
  for (Log& log : logs) {
    fs::create_directories(as_path(log.root + u"\\Quolin"));
    std::ofstream(as_path(log.file()), std::ios::binary | std::ios::trunc) << "seed\n";
    log.micros.reserve(static_cast<std::size_t>(lines));
  }

  EventLogSink events(platform::win32_event_log());
  ServiceLog log(platform::win32_files(), events);
  for (int i = 0; i < WARM_UP_LINES + lines; ++i) {
    for (int k = 0; k < 3; ++k) {
      if (!timed_line(log, logs[(i + k) % 3], i >= WARM_UP_LINES)) return 1;
    }
  }
  for (const Log& written : logs) {
    if (!landed_at_end(written)) {
      std::fprintf(stderr, "log_append_bench: the line did not land at the end of the %s log\n", written.name);
      return 1;
    }
  }

  // Line i of each log was written side by side with the others', so their difference and
  // ratio are free of whatever the machine did meanwhile: their medians are the fairest
  // comparisons.
  std::vector<double> differences, ratios;
  for (std::size_t i = 0; i < logs[0].micros.size(); ++i) {
    differences.push_back(logs[1].micros[i] - logs[0].micros[i]);
    ratios.push_back(logs[0].micros[i] / logs[2].micros[i]);
  }

  std::printf("lines=%d\n", lines);
  std::printf("paired_difference_median_us=%.2f\n", bench::quantile(differences, 0.5));
  std::printf("guarded_to_bare_paired_ratio_median=%.2f\n", bench::quantile(ratios, 0.5));
  for (const Log& log : logs) {
    std::printf("%s_bytes=%llu\n", log.name, static_cast<unsigned long long>(log.size));
    std::printf("%s_median_us=%.1f\n", log.name, bench::quantile(log.micros, 0.5));
    std::printf("%s_p95_us=%.1f\n", log.name, bench::quantile(log.micros, 0.95));
  }
  return 0;
}
