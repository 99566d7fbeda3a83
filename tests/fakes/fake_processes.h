// A processes-and-sessions platform with its own table of tokens, environment blocks, threads,
// processes and modules.
//
//   FakeProcesses api;
//   api.failures["CreateProcessAsUserW"] = 2;   // it fails with 2
//   SessionLauncher launcher(api, "C:\\svc\\quolin.exe");
//   launcher.launch();
//   EXPECT_EQ(api.calls, (Calls{"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(1)", ...}));
//   EXPECT_TRUE(api.open_objects().empty());
//
// What it hands out is named in the call log by kind and number (token1, env1, process1, ...).
// Closing something twice or never handed out, or using a closed one, is a finding (fake_problem).
// With `record` false it keeps no call log and forgets what was closed, so that it neither
// allocates per call nor grows (values are never reused: a second close is still caught).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fake_problem.h"
#include "platform/processes.h"
#include "platform/text.h"

namespace quolin::fakes {

using Calls = std::vector<std::string>;

class FakeProcesses final : public platform::Processes {
 public:
  static constexpr std::uint32_t STILL_ACTIVE = 259;

  std::uint32_t console_session = 1;
  std::u16string executable_path = u"C:\\Program Files\\Quolin\\QuolinHost.exe";
  // When the buffer is too small, answer with the size needed (NUL included) instead of
  // filling it, as some platforms do.
  bool report_needed_path_size = false;
  bool record = true;

  // Every later call of that name fails with the code (the Windows name, e.g. "CreateJobObjectW").
  std::map<std::string, std::uint32_t, std::less<>> failures;

  // FormatMessageW texts: from the system table, or from a module loaded by name.
  void set_system_message(std::uint32_t id, std::u16string text) { messages_[{"", id}] = std::move(text); }
  void set_module_message(const std::string& module, std::uint32_t id, std::u16string text) {
    messages_[{module, id}] = std::move(text);
  }

  // The host process ends by itself.
  void exit_process(platform::Handle process, std::uint32_t code) {
    auto it = processes_.find(process);
    if (it == processes_.end()) fake_problem("FakeProcesses", "exit_process of no process");
    it->second = code;
  }

  Calls calls;

  // Labels of what was handed out and not yet closed or freed (modules stay loaded).
  std::vector<std::string> open_objects() const {
    std::vector<std::string> open;
    for (const auto& [value, object] : objects_) {
      if (!object.closed && object.kind != Kind::Module) open.push_back(object.label);
    }
    return open;
  }
  // The raw value handed out under `label` (e.g. "process1").
  void* object(const std::string& label) const {
    for (const auto& [value, object] : objects_) {
      if (object.label == label) return value;
    }
    return nullptr;
  }

  void CloseHandle(platform::Handle h) override {
    note("CloseHandle(" + name(h) + ")");
    close(h, Kind::Kernel, "CloseHandle");
  }

  platform::SysResult<std::uint32_t> GetModuleFileNameW(platform::Handle module, char16_t* buffer,
                                                        std::uint32_t size) override {
    note("GetModuleFileNameW(" + name(module) + ", " + std::to_string(size) + ")");
    if (auto e = failure("GetModuleFileNameW")) return fail(*e);
    std::size_t length = executable_path.size();
    if (length < size) {
      executable_path.copy(buffer, length);
      buffer[length] = u'\0';
      return static_cast<std::uint32_t>(length);
    }
    if (report_needed_path_size) return static_cast<std::uint32_t>(length + 1);
    executable_path.copy(buffer, size);  // cut short, without a NUL
    return size;
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override {
    note("WTSGetActiveConsoleSessionId");
    return console_session;
  }

  platform::SysResult<platform::UniqueHandle> WTSQueryUserToken(std::uint32_t session_id) override {
    note("WTSQueryUserToken(" + std::to_string(session_id) + ")");
    if (auto e = failure("WTSQueryUserToken")) return fail(*e);
    return platform::UniqueHandle(*this, hand_out(Kind::Token));
  }

  platform::SysResult<platform::UniqueEnvironmentBlock> CreateEnvironmentBlock(platform::Handle token,
                                                                               bool inherit) override {
    note("CreateEnvironmentBlock(" + name(token) + ", " + (inherit ? "TRUE" : "FALSE") + ")");
    expect_open(token, Kind::Token, "CreateEnvironmentBlock");
    if (auto e = failure("CreateEnvironmentBlock")) return fail(*e);
    return platform::UniqueEnvironmentBlock(*this, hand_out(Kind::EnvironmentBlock));
  }

  void DestroyEnvironmentBlock(void* environment) override {
    note("DestroyEnvironmentBlock(" + name(environment) + ")");
    close(environment, Kind::EnvironmentBlock, "DestroyEnvironmentBlock");
  }

  platform::SysStatus CreateProcessAsUserW(platform::Handle token, const char16_t* application_name,
                                           char16_t* command_line, void* process_attributes,
                                           void* thread_attributes, bool inherit_handles,
                                           std::uint32_t creation_flags, void* environment,
                                           const char16_t* current_directory,
                                           platform::StartupInfoW* startup_info,
                                           platform::ProcessInformation* process_information) override {
    expect_open(token, Kind::Token, "CreateProcessAsUserW");
    expect_open(environment, Kind::EnvironmentBlock, "CreateProcessAsUserW");
    if (record) {  // every argument, in Windows' order; of the startup information what is set
      const auto text = [](const char16_t* s) { return s ? '"' + platform::wtf8_from_utf16(s) + '"' : "null"; };
      const platform::StartupInfoW& s = *startup_info;
      const bool more = s.lpReserved || s.lpTitle || s.dwX || s.dwY || s.dwXSize || s.dwYSize || s.dwXCountChars ||
                        s.dwYCountChars || s.dwFillAttribute || s.dwFlags || s.wShowWindow || s.cbReserved2 ||
                        s.lpReserved2 || s.hStdInput || s.hStdOutput || s.hStdError;
      note("CreateProcessAsUserW(" + name(token) + ", " + text(application_name) + ", " +
           (command_line == application_name ? "the same buffer" : text(command_line)) + ", " +
           (process_attributes || thread_attributes ? "attributes" : "null") + ", " + (inherit_handles ? "TRUE" : "FALSE") +
           ", " + hex(creation_flags) + ", " + name(environment) + ", " + text(current_directory) +
           ", {cb=" + std::to_string(s.cb) + ", desktop=" + text(s.lpDesktop) + (more ? ", more" : "") + "})");
    }
    if (auto e = failure("CreateProcessAsUserW")) return fail(*e);
    platform::Handle process = hand_out(Kind::Process);
    platform::Handle thread = hand_out(Kind::Thread);
    std::uint32_t pid = 4000 + 4 * static_cast<std::uint32_t>(++launched_);
    processes_[process] = std::nullopt;
    *process_information = platform::ProcessInformation{process, thread, pid, pid + 2};
    return {};
  }

  platform::SysStatus TerminateProcess(platform::Handle process, std::uint32_t exit_code) override {
    note("TerminateProcess(" + name(process) + ", " + std::to_string(exit_code) + ")");
    expect_open(process, Kind::Process, "TerminateProcess");
    std::optional<std::uint32_t>& code = processes_[process];
    if (code) return fail(platform::CODE_ACCESS_DENIED);  // as Windows, for an ended process
    code = exit_code;
    return {};
  }

  platform::SysResult<platform::UniqueHandle> CreateJobObjectW() override {
    note("CreateJobObjectW");
    if (auto e = failure("CreateJobObjectW")) return fail(*e);
    return platform::UniqueHandle(*this, hand_out(Kind::Job));
  }

  platform::SysStatus SetInformationJobObject(platform::Handle job, std::uint32_t limit_flags) override {
    note("SetInformationJobObject(" + name(job) + ", " + hex(limit_flags) + ")");
    expect_open(job, Kind::Job, "SetInformationJobObject");
    if (auto e = failure("SetInformationJobObject")) return fail(*e);
    return {};
  }

  platform::SysStatus AssignProcessToJobObject(platform::Handle job, platform::Handle process) override {
    note("AssignProcessToJobObject(" + name(job) + ", " + name(process) + ")");
    expect_open(job, Kind::Job, "AssignProcessToJobObject");
    expect_open(process, Kind::Process, "AssignProcessToJobObject");
    if (auto e = failure("AssignProcessToJobObject")) return fail(*e);
    return {};
  }

  platform::SysResult<std::uint32_t> WaitForSingleObject(platform::Handle object,
                                                         std::uint32_t milliseconds) override {
    // Built only when kept: the benchmarks' idle poll must not allocate.
    if (record) note("WaitForSingleObject(" + name(object) + ", " + std::to_string(milliseconds) + ")");
    if (auto e = failure("WaitForSingleObject")) return fail(*e);
    expect_open(object, Kind::Process, "WaitForSingleObject");
    return processes_[object] ? 0u : 0x102u;
  }

  platform::SysResult<std::uint32_t> GetExitCodeProcess(platform::Handle process) override {
    note("GetExitCodeProcess(" + name(process) + ")");
    if (auto e = failure("GetExitCodeProcess")) return fail(*e);
    expect_open(process, Kind::Process, "GetExitCodeProcess");
    return processes_[process].value_or(STILL_ACTIVE);
  }

  platform::SysResult<std::u16string> FormatMessageW(std::uint32_t flags, platform::Handle module,
                                                     std::uint32_t message_id) override {
    note("FormatMessageW(" + hex(flags) + ", " + name(module) + ", " + hex(message_id) + ")");
    std::string source;
    if (module) {
      auto it = objects_.find(module);
      source = it != objects_.end() && it->second.kind == Kind::Module ? it->second.label : "?";
    }
    auto it = messages_.find({source, message_id});
    if (it == messages_.end()) return fail(317u);  // ERROR_MR_MID_NOT_FOUND
    return it->second;
  }

  platform::SysResult<platform::Handle> LoadLibraryExA(const char* file_name, std::uint32_t flags) override {
    std::string module = file_name ? file_name : "null";
    note("LoadLibraryExA(" + module + ", " + hex(flags) + ")");
    for (auto& [value, object] : objects_) {
      if (object.kind == Kind::Module && object.label == module) return value;
    }
    platform::Handle h = hand_out(Kind::Module);
    objects_[h].label = module;
    return h;
  }

 private:
  // Kernel: any of the three handle kinds that CloseHandle takes.
  enum class Kind { Token, EnvironmentBlock, Thread, Process, Module, Job, Kernel };

  struct Object {
    Kind kind;
    std::string label;
    bool closed = false;
  };

  static std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
  }

  std::optional<std::uint32_t> failure(std::string_view call) const {
    auto it = failures.find(call);
    return it == failures.end() ? std::nullopt : std::optional(it->second);
  }

  void note(std::string call) {
    if (record) calls.push_back(std::move(call));
  }

  platform::Handle hand_out(Kind kind) {
    static constexpr const char* PREFIX[] = {"token", "env", "thread", "process", "module", "job"};
    ++handed_out_;
    void* value = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10000 + 0x10 * handed_out_));
    int n = ++counts_[static_cast<int>(kind)];
    objects_[value] = Object{kind, PREFIX[static_cast<int>(kind)] + std::to_string(n), false};
    return value;
  }

  bool is_open(void* value, Kind kind) const {
    auto it = objects_.find(value);
    if (it == objects_.end() || it->second.closed) return false;
    Kind k = it->second.kind;
    return k == kind ||
           (kind == Kind::Kernel && (k == Kind::Token || k == Kind::Thread || k == Kind::Process || k == Kind::Job));
  }

  void expect_open(void* value, Kind kind, const char* call) {
    if (!is_open(value, kind)) fake_problem("FakeProcesses", std::string(call) + " with " + name(value));
  }

  void close(void* value, Kind kind, const char* call) {
    expect_open(value, kind, call);
    processes_.erase(value);
    if (record) {
      objects_[value].closed = true;
    } else {
      objects_.erase(value);
    }
  }

  std::string name(void* value) const {
    if (!value) return "null";
    auto it = objects_.find(value);
    return it == objects_.end() ? "unknown" : it->second.label;
  }

  std::map<void*, Object> objects_;
  std::map<platform::Handle, std::optional<std::uint32_t>> processes_;  // exit code once ended
  std::map<std::pair<std::string, std::uint32_t>, std::u16string> messages_;
  int counts_[6] = {};
  std::uint64_t handed_out_ = 0;
  std::uint32_t launched_ = 0;
};

}  // namespace quolin::fakes
