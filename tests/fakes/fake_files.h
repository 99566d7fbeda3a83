// An in-memory file system behind platform::Files, for tests of the service log.
//
//   FakeFiles fs;
//   fs.add_folder(u"C:\\");
//   fs.environment[u"ProgramData"] = u"C:\\ProgramData";
//   fs.writes = {FakeFiles::take(3), FakeFiles::interrupt()};  // then every write takes all
//   ServiceLog log(fs);
//   ... log.write_line("x") ...
//   EXPECT_EQ(fs.calls, (std::vector<std::string>{"GetEnvironmentVariableW(ProgramData)", ...}));
//
// It behaves like Windows where the log relies on it: making a folder whose parent is missing
// gives 3, making one where anything exists gives 183, opening a folder gives 5, opening a
// missing file creates it empty. Every call is recorded, in order, as one text line; handles
// are numbered #1, #2, ... in the order they were handed out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace quolin::fakes {

class FakeFiles final : public platform::Files {
 public:
  // What one NtWriteFile call does. Once `writes` runs out, every write takes all it is offered.
  struct WriteStep {
    enum class Kind { Take, Fail } kind = Kind::Take;
    std::size_t bytes = 0;    // Take: at most this many
    std::uint32_t code = 0;   // Fail: the system error code
  };
  static WriteStep take(std::size_t n) { return {WriteStep::Kind::Take, n, 0}; }
  static WriteStep take_nothing() { return take(0); }
  static WriteStep interrupt() { return fail_with(platform::CODE_INTERRUPTED); }
  static WriteStep fail_with(std::uint32_t code) { return {WriteStep::Kind::Fail, 0, code}; }

  struct Node {
    bool folder = false;
    std::string content;  // files only
  };

  // --- state the test sets up and inspects ---
  std::map<std::u16string, std::u16string> environment;
  std::map<std::u16string, Node> nodes;                      // by exact path
  std::map<std::u16string, std::uint32_t> refused_folders;   // CreateDirectoryW gives this code
  std::deque<std::uint32_t> open_failures;                   // the next CreateFileW calls fail so
  std::optional<std::uint32_t> refuse_open;                  // then every CreateFileW gives this code
  std::uint64_t slept_ms = 0;                                // all Sleep calls together
  std::deque<WriteStep> writes;
  std::int64_t clock_ticks = 0;
  std::int64_t performance_counter = 0;
  std::int64_t performance_frequency = 10'000'000;
  // Runs first in every CreateDirectoryW: lets a test play another process.
  std::function<void(const std::u16string& path)> before_create_directory;

  std::vector<std::string> calls;
  int bad_closes = 0;        // closes of a handle that is not open (twice, or never opened)
  int bad_handle_writes = 0; // writes through a handle that is not open

  void add_folder(std::u16string path) { nodes[std::move(path)] = Node{true, {}}; }
  void add_file(std::u16string path, std::string content) { nodes[std::move(path)] = Node{false, std::move(content)}; }
  bool is_folder_node(const std::u16string& path) const {
    auto it = nodes.find(path);
    return it != nodes.end() && it->second.folder;
  }
  std::optional<std::string> file_content(const std::u16string& path) const {
    auto it = nodes.find(path);
    if (it == nodes.end() || it->second.folder) return std::nullopt;
    return it->second.content;
  }
  std::size_t open_handles() const { return open_.size(); }

  // --- platform::Files ---
  std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) override {
    record("GetEnvironmentVariableW", {utf8(name)});
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }

  platform::SysStatus CreateDirectoryW(const std::u16string& path) override {
    record("CreateDirectoryW", {utf8(path)});
    if (before_create_directory) before_create_directory(path);
    if (nodes.count(path) != 0) return fail(platform::CODE_ALREADY_EXISTS);
    if (!parent_is_folder(path)) return fail(platform::CODE_PATH_NOT_FOUND);
    if (auto it = refused_folders.find(path); it != refused_folders.end()) return fail(it->second);
    add_folder(path);
    return {};
  }

  bool is_folder(const std::u16string& path) override {
    record("is_folder", {utf8(path)});
    return is_folder_node(path);
  }

  platform::SysResult<platform::UniqueHandle> CreateFileW(const std::u16string& path,
                                                          std::uint32_t desired_access,
                                                          std::uint32_t share_mode,
                                                          std::uint32_t creation_disposition) override {
    record("CreateFileW", {utf8(path), hex(desired_access), std::to_string(share_mode),
                           std::to_string(creation_disposition)});
    if (!open_failures.empty()) {
      std::uint32_t code = open_failures.front();
      open_failures.pop_front();
      return fail(code);
    }
    if (refuse_open) return fail(*refuse_open);
    if (!parent_is_folder(path)) return fail(platform::CODE_PATH_NOT_FOUND);
    auto it = nodes.find(path);
    if (it != nodes.end() && it->second.folder) return fail(platform::CODE_ACCESS_DENIED);
    if (it == nodes.end()) add_file(path, {});
    ++handed_out_;
    platform::Handle h = handle_value(handed_out_);
    open_[h] = OpenFile{path};
    return platform::UniqueHandle(*this, h);
  }

  platform::SysResult<std::size_t> NtWriteFile(platform::Handle file, std::string_view bytes) override {
    auto it = open_.find(file);
    record("NtWriteFile", {handle_name(file), std::string("\"").append(bytes).append("\"")});
    if (it == open_.end()) {
      ++bad_handle_writes;
      return fail(6u);  // ERROR_INVALID_HANDLE
    }
    WriteStep step;
    step.bytes = bytes.size();
    if (!writes.empty()) {
      step = writes.front();
      writes.pop_front();
    }
    if (step.kind == WriteStep::Kind::Fail) return fail(step.code);
    std::size_t taken = step.bytes < bytes.size() ? step.bytes : bytes.size();
    // Append access: whatever the handle's history, the bytes land at the current end.
    nodes[it->second.path].content.append(bytes.substr(0, taken));
    return taken;
  }

  void CloseHandle(platform::Handle h) override {
    record("CloseHandle", {handle_name(h)});
    if (open_.erase(h) == 0) ++bad_closes;
  }

  std::int64_t GetSystemTimePreciseAsFileTime() override {
    record("GetSystemTimePreciseAsFileTime", {});
    return clock_ticks;
  }

  void Sleep(std::uint32_t milliseconds) override {
    record("Sleep", {std::to_string(milliseconds)});
    slept_ms += milliseconds;
  }

  platform::SysResult<std::int64_t> QueryPerformanceCounter() override { return performance_counter; }
  platform::SysResult<std::int64_t> QueryPerformanceFrequency() override { return performance_frequency; }

 private:
  struct OpenFile {
    std::u16string path;
  };

  static platform::Handle handle_value(int number) {
    return reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x1000 + 4 * number));
  }

  std::string handle_name(platform::Handle h) const {
    for (int n = 1; n <= handed_out_; ++n) {
      if (handle_value(n) == h) return std::string("#").append(std::to_string(n));
    }
    return "#?";
  }

  // The folder above, by the simplest rule: up to the last separator, a drive keeping its
  // backslash. A path without a separator lives in the current folder, which always exists.
  bool parent_is_folder(const std::u16string& path) const {
    std::size_t at = path.find_last_of(u"\\/");
    if (at == std::u16string::npos) return true;
    std::u16string parent = path.substr(0, at);
    if (parent.size() == 2 && parent[1] == u':') parent.push_back(u'\\');
    return is_folder_node(parent);
  }

  static std::string utf8(const std::u16string& s) { return platform::utf8_from_utf16_lossy(s); }

  static std::string hex(std::uint32_t v) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    do {
      out.insert(out.begin(), digits[v % 16]);
      v /= 16;
    } while (v != 0);
    return std::string("0x").append(out);
  }

  // "Name(arg, arg)".
  void record(std::string_view name, std::initializer_list<std::string> args) {
    std::string call(name);
    call.push_back('(');
    const char* separator = "";
    for (const std::string& arg : args) {
      call.append(separator).append(arg);
      separator = ", ";
    }
    call.push_back(')');
    calls.push_back(std::move(call));
  }

  std::map<platform::Handle, OpenFile> open_;
  int handed_out_ = 0;
};

}  // namespace quolin::fakes
