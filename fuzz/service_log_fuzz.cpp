// ServiceLog::write_line over any value of ProgramData, any message, any clock and any way the
// writes can go (cut short, interrupted, refused), on an in-memory file system: the call ends,
// closes every handle it opened, makes no folder that is not on the log file's own path, and
// leaves the file as it was followed by the line, whole after success and cut short after a
// failure.
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "fakes/fake_event_log.h"
#include "fakes/fake_files.h"
#include "fuzz_support.h"
#include "log/log_format.h"
#include "log/event_log_sink.h"
#include "log/log_path.h"
#include "log/service_log.h"

namespace {

// Mostly path-like characters, so that drives, roots and runs of separators come up often.
std::u16string path_from(quolin::fuzz::Input& in, bool raw) {
  if (raw) {
    std::u16string out;
    const std::size_t length = in.u8() % 48;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint16_t lo = in.u8();
      const std::uint16_t hi = in.u8();
      out.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return out;
  }
  static constexpr char16_t alphabet[] = {u'C', u':', u'\\', u'/', u'a', u'b', u'.', u'?', u'\\', u'D'};
  std::u16string out;
  const std::size_t length = in.u8() % 24;
  for (std::size_t i = 0; i < length; ++i) out.push_back(alphabet[in.u8() % (sizeof alphabet / sizeof alphabet[0])]);
  return out;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quolin::fakes::FakeFiles;
  quolin::fuzz::Input in(data, size);
  const std::uint8_t flags = in.u8();

  FakeFiles fs;
  if (flags & 1) fs.add_folder(u"C:\\");
  std::optional<std::u16string> base;
  if (flags & 2) {
    base = path_from(in, (flags & 4) != 0);
    fs.environment[u"ProgramData"] = *base;
  }
  const std::u16string file = quolin::log_file_path(base);
  const std::u16string_view folder = quolin::parent_folder(file);
  // Sometimes part of the path is there already: a folder, or a file in the way.
  if (flags & 8) {
    const std::u16string above(quolin::parent_folder(folder));
    if (!above.empty()) fs.add_folder(above);
  }
  if (flags & 16) fs.add_folder(std::u16string(folder));
  if ((flags & 32) && !folder.empty()) fs.add_file(std::u16string(folder), "in the way");
  std::string before;
  if ((flags & 64) && fs.is_folder_node(std::u16string(folder))) {
    before = "earlier line\n";
    fs.add_file(file, before);
  }
  fs.clock_ticks = static_cast<std::int64_t>(in.u64());
  const std::size_t steps = in.u8() % 8;
  for (std::size_t i = 0; i < steps; ++i) {
    const std::uint8_t kind = in.u8();
    if (kind % 4 == 0) fs.writes.push_back(FakeFiles::interrupt());
    else if (kind % 4 == 1) fs.writes.push_back(FakeFiles::fail_with(112));
    else fs.writes.push_back(FakeFiles::take(kind / 4));
  }
  const std::string message = in.rest();

  std::set<std::u16string> existed;
  for (const auto& [path, node] : fs.nodes) existed.insert(path);

  quolin::fakes::FakeEventLog event_log;
  quolin::EventLogSink events(event_log);
  quolin::ServiceLog log(fs, events);
  const quolin::Status<quolin::LogError> written = log.write_line(message);

  FUZZ_CHECK(fs.open_handles() == 0);
  FUZZ_CHECK(fs.bad_closes == 0 && fs.bad_handle_writes == 0);
  // Nothing new but folders on the way to the file, the file, and what was moved aside.
  int moved_aside = 0;
  for (const auto& [path, node] : fs.nodes) {
    if (existed.count(path) != 0) continue;
    if (const std::size_t at = path.find(u".untrusted-"); at != std::u16string::npos) {
      // Counted once each, not once for each thing inside.
      if (path.find_first_of(u"\\/", at) == std::u16string::npos) ++moved_aside;
    } else if (path == file) {
      FUZZ_CHECK(!node.folder);
    } else {
      FUZZ_CHECK(node.folder);
      FUZZ_CHECK(path.size() < file.size() && file.compare(0, path.size(), path) == 0);
    }
  }

  const std::string stamp = quolin::format_timestamp(fs.clock_ticks);
  const std::string line = stamp + " [quolin-service] " + message + "\n";
  std::string after = fs.file_content(file).value_or("");
  if (moved_aside > 0 && written.ok()) {
    // What replaced the unsafe folder or file starts with the lines that say so (a path may hold
    // a line feed of its own, so they are not counted by line), then the line itself.
    FUZZ_CHECK(starts_with(after, stamp + " [quolin-service] log f"));
    FUZZ_CHECK(after.size() > line.size() && after.compare(after.size() - line.size(), line.size(), line) == 0);
    after.erase(0, after.size() - line.size());
    before.clear();
  }
  if (written.ok()) {
    FUZZ_CHECK(after == before + line);
  } else if (moved_aside == 0 && !after.empty()) {
    // What was written before the failure: the old content and a piece of the line.
    FUZZ_CHECK(starts_with(after, before) && after.size() <= before.size() + line.size());
    FUZZ_CHECK(starts_with(line, std::string_view(after).substr(before.size())));
    if (after.size() > before.size()) {
      FUZZ_CHECK(written.error() == quolin::LogError::os(112) || written.error() == quolin::LogError::write_zero());
    }
  }
  return 0;
}
