// An in-memory file system behind platform::Files, for tests of the service log.
//
//   FakeFiles fs;
//   fs.add_folder(u"C:\\");
//   fs.environment[u"ProgramData"] = u"C:\\ProgramData";
//   fs.writes = {FakeFiles::take(3), FakeFiles::interrupt()};  // then every write takes all
//   ServiceLog log(fs);
//   ... log.write_line("x") ...
//   ... fs.calls: "GetEnvironmentVariableW(ProgramData)", ...; handles are #1, #2, ... in order
//
// It behaves like Windows where the log relies on it: a folder under a missing parent gives 3,
// one where anything exists 183, opening a folder 5 (unless with backup semantics), opening a
// missing file creates it, opening with DELETE what someone holds without sharing deletion 32, a
// rename only through a handle opened with DELETE, never replacing, taking a folder's contents
// along. A node may be a link (never followed), have several names, and carry an owner and an
// access list (SYSTEM's, empty, unless the test says otherwise).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace quolin::fakes {

class FakeFiles final : public platform::Files {
 public:
  // One NtWriteFile call. Once `writes` runs out, every write takes all it is offered.
  struct WriteStep {
    std::size_t bytes = 0;   // at most this many are taken,
    std::uint32_t code = 0;  // unless it fails with this system error code
  };
  static WriteStep take(std::size_t n) { return {n, 0}; }
  static WriteStep interrupt() { return fail_with(platform::CODE_INTERRUPTED); }
  static WriteStep fail_with(std::uint32_t code) { return {0, code}; }

  struct Node {
    bool folder = false;
    std::string content;  // files only
    bool link = false;    // a reparse point
    std::uint32_t names = 1;
    platform::ObjectSecurity security{"S-1-5-18", true, {}};
    std::u16string sddl;  // the descriptor it was made with, if any
    bool delete_pending = false;  // deleted while someone holds it: its name refuses everything (5)
  };

  std::map<std::u16string, std::u16string> environment;
  std::map<std::u16string, Node> nodes;                      // by exact path
  std::map<std::u16string, std::uint32_t> refused_folders;   // CreateDirectoryW gives this code
  std::uint32_t missing_parent_code = platform::CODE_PATH_NOT_FOUND;  // its code under a missing parent
  std::map<std::u16string, std::deque<std::uint32_t>> open_failures;  // the next CreateFileW calls of a path fail so
  std::deque<std::uint32_t> rename_failures;                 // the next renames fail so
  std::set<std::u16string> held;  // paths another process holds open without sharing deletion
  std::string account_sid = "S-1-5-18";                      // the process's own account
  bool links_on_path_only = false;  // as Wine: a handle opened on a link shows no reparse point
  std::uint64_t slept_ms = 0;                                // all Sleep calls together
  std::deque<WriteStep> writes;
  std::int64_t clock_ticks = 0;
  std::int64_t performance_counter = 0;
  std::int64_t performance_frequency = 10'000'000;
  // Runs first in every CreateDirectoryW: lets a test play another process.
  std::function<void(const std::u16string& path)> before_create_directory;
  // Runs first in every CreateFileW, with the access asked.
  std::function<void(const std::u16string& path, std::uint32_t access)> before_open;
  // Runs after every rename that moved something.
  std::function<void(const std::u16string& from)> after_rename;

  std::vector<std::string> calls;
  bool keep_calls = true;    // off: `calls` stays empty (the soak)
  int bad_closes = 0;        // closes of a handle that is not open (twice, or never opened)
  int bad_handle_writes = 0; // writes through a handle that is not open

  Node& add_folder(std::u16string path) {
    Node& node = nodes[std::move(path)] = Node{};
    node.folder = true;
    return node;
  }
  Node& add_file(std::u16string path, std::string content) {
    Node& node = nodes[std::move(path)] = Node{};
    node.content = std::move(content);
    return node;
  }
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

  std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) override {
    record("GetEnvironmentVariableW", {utf8(name)});
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }

  platform::SysStatus CreateDirectoryW(const std::u16string& path) override {
    record("CreateDirectoryW", {utf8(path)});
    return make_folder(path);
  }

  platform::SysStatus CreateDirectoryW(const std::u16string& path, std::u16string_view sddl) override {
    record("CreateDirectoryW", {utf8(path), utf8(std::u16string(sddl))});
    platform::SysStatus made = make_folder(path);
    if (made) nodes[path].sddl = sddl;
    return made;
  }

  platform::SysResult<std::uint32_t> GetFileAttributesW(const std::u16string& path) override {
    record("GetFileAttributesW", {utf8(path)});
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(parent_is_folder(path) ? platform::CODE_FILE_NOT_FOUND : platform::CODE_PATH_NOT_FOUND);
    if (it->second.delete_pending) return fail(platform::CODE_ACCESS_DENIED);
    return attributes(it->second);
  }

  platform::SysResult<platform::UniqueHandle> CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                                          std::uint32_t share_mode, std::uint32_t creation_disposition,
                                                          std::uint32_t flags) override {
    record("CreateFileW", {utf8(path), std::to_string(desired_access), std::to_string(share_mode),
                           std::to_string(creation_disposition), std::to_string(flags)});
    if (before_open) before_open(path, desired_access);
    if (auto failing = open_failures.find(path); failing != open_failures.end() && !failing->second.empty()) {
      std::uint32_t code = failing->second.front();
      failing->second.pop_front();
      return fail(code);
    }
    if (!parent_is_folder(path)) return fail(platform::CODE_PATH_NOT_FOUND);
    if ((desired_access & platform::ACCESS_DELETE) != 0 && held.count(path) != 0) {
      return fail(platform::CODE_SHARING_VIOLATION);
    }
    auto it = nodes.find(path);
    if (it != nodes.end() && it->second.delete_pending) return fail(platform::CODE_ACCESS_DENIED);
    if (it != nodes.end() && it->second.folder && (flags & platform::FLAG_BACKUP_SEMANTICS) == 0) {
      return fail(platform::CODE_ACCESS_DENIED);
    }
    if (it == nodes.end()) {
      if (creation_disposition == platform::DISPOSITION_OPEN_EXISTING) return fail(platform::CODE_FILE_NOT_FOUND);
      add_file(path, {});
    }
    ++handed_out_;
    platform::Handle h = handle_value(handed_out_);
    open_[h] = path;
    if ((desired_access & platform::ACCESS_DELETE) != 0) deletable_.insert(h);
    return platform::UniqueHandle(*this, h);
  }

  platform::SysResult<platform::FileIdentity> GetFileInformationByHandleEx(platform::Handle file) override {
    record("GetFileInformationByHandleEx", {handle_name(file)});
    const Node* node = open_node(file);
    if (node == nullptr) return fail(6u);  // ERROR_INVALID_HANDLE
    std::uint32_t shown = attributes(*node);
    if (links_on_path_only) shown &= ~platform::ATTRIBUTE_REPARSE_POINT;
    return platform::FileIdentity{shown, node->names};
  }

  platform::SysResult<platform::ObjectSecurity> GetSecurityInfo(platform::Handle object) override {
    record("GetSecurityInfo", {handle_name(object)});
    const Node* node = open_node(object);
    if (node == nullptr) return fail(6u);
    return node->security;
  }

  platform::SysResult<std::string> process_account_sid() override { return account_sid; }

  platform::SysStatus SetFileInformationByHandle(platform::Handle file, const std::u16string& to) override {
    record("SetFileInformationByHandle", {handle_name(file), utf8(to)});
    if (!rename_failures.empty()) {
      std::uint32_t code = rename_failures.front();
      rename_failures.pop_front();
      return fail(code);
    }
    auto opened = open_.find(file);
    if (opened == open_.end()) return fail(6u);                        // ERROR_INVALID_HANDLE
    if (deletable_.count(file) == 0) return fail(platform::CODE_ACCESS_DENIED);
    const std::u16string from = opened->second;
    if (nodes.count(from) == 0) return fail(platform::CODE_FILE_NOT_FOUND);
    if (nodes.count(to) != 0) return fail(platform::CODE_ALREADY_EXISTS);
    // The node and everything below it, by name; open handles follow what they opened.
    std::map<std::u16string, Node> moved;
    for (auto it = nodes.begin(); it != nodes.end();) {
      const bool inside = it->first == from || (it->first.size() > from.size() && it->first.starts_with(from) &&
                                                platform::is_path_separator(it->first[from.size()]));
      if (!inside) {
        ++it;
        continue;
      }
      moved[to + it->first.substr(from.size())] = std::move(it->second);
      it = nodes.erase(it);
    }
    for (auto& [path, node] : moved) nodes[path] = std::move(node);
    for (auto& [handle, path] : open_) {
      if (path.starts_with(from)) path = to + path.substr(from.size());
    }
    if (after_rename) after_rename(from);
    return {};
  }

  platform::SysResult<std::size_t> NtWriteFile(platform::Handle file, std::string_view bytes) override {
    auto it = open_.find(file);
    record("NtWriteFile", {handle_name(file), std::string("\"").append(bytes).append("\"")});
    if (it == open_.end()) {
      ++bad_handle_writes;
      return fail(6u);  // ERROR_INVALID_HANDLE
    }
    WriteStep step = take(bytes.size());
    if (!writes.empty()) {
      step = writes.front();
      writes.pop_front();
    }
    if (step.code != 0) return fail(step.code);
    std::size_t taken = step.bytes < bytes.size() ? step.bytes : bytes.size();
    // Append access: whatever the handle's history, the bytes land at the current end.
    nodes[it->second].content.append(bytes.substr(0, taken));
    return taken;
  }

  void CloseHandle(platform::Handle h) override {
    record("CloseHandle", {handle_name(h)});
    if (open_.erase(h) == 0) ++bad_closes;
    deletable_.erase(h);
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
  platform::SysStatus make_folder(const std::u16string& path) {
    if (before_create_directory) before_create_directory(path);
    if (nodes.count(path) != 0) return fail(platform::CODE_ALREADY_EXISTS);
    if (!parent_is_folder(path)) return fail(missing_parent_code);
    if (auto it = refused_folders.find(path); it != refused_folders.end()) return fail(it->second);
    add_folder(path);
    return {};
  }

  static std::uint32_t attributes(const Node& node) {
    return (node.folder ? platform::ATTRIBUTE_DIRECTORY : 0x20u /* FILE_ATTRIBUTE_ARCHIVE */) |
           (node.link ? platform::ATTRIBUTE_REPARSE_POINT : 0u);
  }

  const Node* open_node(platform::Handle h) const {
    auto it = open_.find(h);
    if (it == open_.end()) return nullptr;
    auto node = nodes.find(it->second);
    return node == nodes.end() ? nullptr : &node->second;
  }

  static platform::Handle handle_value(int number) {
    return reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x1000 + 4 * number));
  }

  std::string handle_name(platform::Handle h) const {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    if (v < 0x1004 || (v - 0x1000) % 4 != 0 || (v - 0x1000) / 4 > static_cast<std::uintptr_t>(handed_out_)) return "#?";
    return std::string("#").append(std::to_string((v - 0x1000) / 4));
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

  // "Name(arg, arg)".
  void record(std::string_view name, std::initializer_list<std::string> args) {
    if (!keep_calls) return;
    std::string call = std::string(name) + "(";
    const char* separator = "";
    for (const std::string& arg : args) call.append(std::exchange(separator, ", ")).append(arg);
    calls.push_back(call + ")");
  }

  std::map<platform::Handle, std::u16string> open_;  // the path each handle opened
  std::set<platform::Handle> deletable_;              // those opened with DELETE
  int handed_out_ = 0;
};

}  // namespace quolin::fakes
