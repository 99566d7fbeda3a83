// log_append_bench: the cost of one ServiceLog::write_line through the real Win32 calls, with a
// log of a few bytes and with a log of 1 GiB. Appending never looks at what the file holds, so
// the two must cost the same.
//
//   log_append_bench.exe <work folder> <lines per log>
//
// Makes <work folder>\small and <work folder>\large, each used as ProgramData in turn, so the
// lines go to <root>\Quolin\service.log. Before every timed line each log is cut back to its
// starting size (5 bytes, or 1 GiB and 5 bytes, nearly all of it a hole), so every line meets
// the same file; the two logs take turns, in alternating order, so that load on the machine
// falls on both alike, and each pair of lines gives one difference.
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
  std::vector<double> micros;

  std::u16string file() const { return root + u"\\Quolin\\service.log"; }
};

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
fs::path as_path(const std::u16string& s) { return fs::path(std::wstring(s.begin(), s.end())); }

// One timed line; false (with a message) when it could not be written.
bool timed_line(ServiceLog& log, Log& target, bool record) {
  if (!probes::set_file_size(target.file(), target.size) ||
      !probes::set_environment_variable(u"ProgramData", target.root)) {
    std::fprintf(stderr, "log_append_bench: cannot prepare the %s log\n", target.name);
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  Status<LogError> written = log.write_line(MESSAGE);
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

  Log logs[] = {{"small", folder + u"\\small", SMALL_SIZE, {}}, {"large", folder + u"\\large", LARGE_SIZE, {}}};
  for (Log& log : logs) {
    fs::create_directories(as_path(log.root + u"\\Quolin"));
    std::ofstream(as_path(log.file()), std::ios::binary | std::ios::trunc) << "seed\n";
    log.micros.reserve(static_cast<std::size_t>(lines));
  }

  EventLogSink events(platform::win32_event_log());
  ServiceLog log(platform::win32_files(), events);
  for (int i = -WARM_UP_LINES; i < lines; ++i) {
    const bool record = i >= 0;
    Log& first = logs[i & 1];
    Log& second = logs[1 - (i & 1)];
    if (!timed_line(log, first, record) || !timed_line(log, second, record)) return 1;
  }
  if (!landed_at_end(logs[1])) {
    std::fprintf(stderr, "log_append_bench: the line did not land at the end of the 1 GiB log\n");
    return 1;
  }

  // Line i of each log was written side by side with the other's, so their difference is
  // free of whatever the machine did meanwhile: its median is the fairest comparison.
  std::vector<double> differences;
  for (std::size_t i = 0; i < logs[0].micros.size(); ++i) differences.push_back(logs[1].micros[i] - logs[0].micros[i]);

  std::printf("lines=%d\n", lines);
  std::printf("paired_difference_median_us=%.2f\n", bench::quantile(differences, 0.5));
  for (const Log& log : logs) {
    std::printf("%s_bytes=%llu\n", log.name, static_cast<unsigned long long>(log.size));
    std::printf("%s_median_us=%.1f\n", log.name, bench::quantile(log.micros, 0.5));
    std::printf("%s_p95_us=%.1f\n", log.name, bench::quantile(log.micros, 0.95));
  }
  return 0;
}
