// A processes-and-sessions platform that keeps its own table of tokens, environment blocks,
// threads, processes and message buffers, and records every call with its arguments.
//
//   FakeProcesses api;
//   api.fail_create_process(2);                 // CreateProcessAsUserW fails, last error 2
//   SessionLauncher launcher(api, "C:\\svc\\quolin.exe");
//   launcher.launch();
//   EXPECT_EQ(api.calls, (Calls{"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(1)", ...}));
//   EXPECT_TRUE(api.open_objects().empty());
//
// What it hands out is named in the call log by kind and number: token1, env1, thread1,
// process1, message1 (the n-th of its kind). Closing or freeing something twice, or something
// it never handed out, is a test failure, also kept in problems(). The last error behaves as a
// thread's would: failing calls set it, GetLastError reads it, successful calls leave it alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/processes.h"

namespace quolin::fakes {

using Calls = std::vector<std::string>;

// The arguments of one CreateProcessAsUserW call, copied while the call ran.
struct CreateProcessCall {
  platform::Handle token = nullptr;
  std::optional<std::u16string> application_name;  // units up to and including the NUL
  std::optional<std::u16string> command_line;      // likewise
  bool command_line_is_own_buffer = false;         // not the application name's memory
  void* process_attributes = nullptr;
  void* thread_attributes = nullptr;
  std::int32_t inherit_handles = -1;
  std::uint32_t creation_flags = 0;
  void* environment = nullptr;
  const char16_t* current_directory = nullptr;
  std::optional<platform::StartupInfoW> startup;   // the record as passed
  std::optional<std::u16string> desktop;           // lpDesktop, NUL included
  bool process_information_given = false;
  bool process_information_was_zero = false;
};

class FakeProcesses final : public platform::Processes {
 public:
  static constexpr std::uint32_t STILL_ACTIVE = 259;
  static constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
  static constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
  static constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
  static constexpr std::uint32_t ERROR_MR_MID_NOT_FOUND = 317;

  FakeProcesses() = default;
  FakeProcesses(const FakeProcesses&) = delete;
  FakeProcesses& operator=(const FakeProcesses&) = delete;

  // ---- the scenario ----

  std::uint32_t console_session = 1;
  std::u16string executable_path = u"C:\\Program Files\\Quolin\\QuolinHost.exe";
  // When the buffer is too small, answer with the size needed (NUL included) instead of
  // filling it, as some platforms do.
  bool report_needed_path_size = false;
  std::int64_t performance_frequency = 10'000'000;
  std::int64_t performance_counter = 0;
  std::uint32_t last_error = 0;

  void fail_module_file_name(std::uint32_t error) { module_file_name_error_ = error; }
  void fail_query_user_token(std::uint32_t error) { query_token_error_ = error; }
  void fail_environment_block(std::uint32_t error) { environment_error_ = error; }
  void fail_create_process(std::uint32_t error) { create_process_error_ = error; }
  void fail_get_exit_code(std::uint32_t error) { exit_code_error_ = error; }
  // Clean-up calls that fail and leave a last error of their own behind.
  void fail_close_handle(std::uint32_t error) { close_error_ = error; }
  void fail_destroy_environment(std::uint32_t error) { destroy_error_ = error; }
  // Every wait answers this instead of the process's state (e.g. WAIT_FAILED).
  void answer_waits_with(std::uint32_t result) { wait_answer_ = result; }

  // FormatMessageW texts: from the system table, or from a module loaded by name.
  void set_system_message(std::uint32_t id, std::u16string text) { messages_[{"", id}] = std::move(text); }
  void set_module_message(const std::string& module, std::uint32_t id, std::u16string text) {
    messages_[{module, id}] = std::move(text);
  }

  // The host process ends by itself.
  void exit_process(platform::Handle process, std::uint32_t code) {
    auto it = processes_.find(process);
    ASSERT_NE(it, processes_.end()) << "no such process";
    it->second.exit_code = code;
  }

  // ---- what happened ----

  Calls calls;
  std::vector<CreateProcessCall> create_process_calls;
  std::vector<std::uint32_t> exit_code_presets;  // *exit_code as GetExitCodeProcess found it

  const Calls& problems() const { return problems_; }

  // Names of handles, blocks and buffers handed out and not yet closed or freed. Modules stay
  // loaded for the life of a process and are not counted.
  std::vector<std::string> open_objects() const {
    std::vector<std::string> open;
    for (const auto& [value, object] : objects_) {
      if (object.closes == 0 && object.kind != Kind::Module) open.push_back(object.label);
    }
    return open;
  }

  int closes(const std::string& label) const {
    for (const auto& [value, object] : objects_) {
      if (object.label == label) return object.closes;
    }
    return -1;
  }

  // The raw value handed out under `label` (e.g. "process1").
  void* object(const std::string& label) const {
    for (const auto& [value, object] : objects_) {
      if (object.label == label) return value;
    }
    return nullptr;
  }

  // How the process behind `process` ended, also after its handle was closed.
  std::optional<std::uint32_t> exit_code_of(platform::Handle process) const {
    auto it = processes_.find(process);
    return it == processes_.end() ? std::nullopt : it->second.exit_code;
  }

  std::uint32_t pid_of(platform::Handle process) const {
    auto it = processes_.find(process);
    return it == processes_.end() ? 0 : it->second.pid;
  }

  // ---- the platform ----

  void CloseHandle(platform::Handle h) override {
    Object* object = find(h);
    calls.push_back("CloseHandle(" + name(h) + ")");
    if (!object || object->kind == Kind::EnvironmentBlock || object->kind == Kind::MessageBuffer ||
        object->kind == Kind::Module) {
      problem("CloseHandle of " + name(h));
      return;
    }
    close(*object, "CloseHandle");
    if (close_error_) last_error = *close_error_;
  }

  void SetLastError(std::uint32_t error) override {
    calls.push_back("SetLastError(" + std::to_string(error) + ")");
    last_error = error;
  }

  std::uint32_t GetLastError() override {
    calls.push_back("GetLastError");
    return last_error;
  }

  std::uint32_t GetModuleFileNameW(platform::Handle module, char16_t* buffer, std::uint32_t size) override {
    calls.push_back("GetModuleFileNameW(" + name(module) + ", " + std::to_string(size) + ")");
    if (module_file_name_error_) {
      last_error = *module_file_name_error_;
      return 0;
    }
    std::size_t length = executable_path.size();
    if (length < size) {
      executable_path.copy(buffer, length);
      buffer[length] = u'\0';
      return static_cast<std::uint32_t>(length);
    }
    last_error = ERROR_INSUFFICIENT_BUFFER;
    if (report_needed_path_size) return static_cast<std::uint32_t>(length + 1);
    executable_path.copy(buffer, size);  // cut short, without a NUL
    return size;
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override {
    calls.push_back("WTSGetActiveConsoleSessionId");
    return console_session;
  }

  std::int32_t WTSQueryUserToken(std::uint32_t session_id, platform::Handle* token) override {
    calls.push_back("WTSQueryUserToken(" + std::to_string(session_id) + ")");
    if (query_token_error_) {
      last_error = *query_token_error_;
      return 0;
    }
    *token = hand_out(Kind::Token);
    return 1;
  }

  std::int32_t CreateEnvironmentBlock(void** environment, platform::Handle token, std::int32_t inherit) override {
    calls.push_back("CreateEnvironmentBlock(" + name(token) + ", " + std::to_string(inherit) + ")");
    if (!is_open(token, Kind::Token)) problem("CreateEnvironmentBlock with " + name(token));
    if (environment_error_) {
      last_error = *environment_error_;
      return 0;
    }
    *environment = hand_out(Kind::EnvironmentBlock);
    return 1;
  }

  std::int32_t DestroyEnvironmentBlock(void* environment) override {
    calls.push_back("DestroyEnvironmentBlock(" + name(environment) + ")");
    Object* object = find(environment);
    if (!object || object->kind != Kind::EnvironmentBlock) {
      problem("DestroyEnvironmentBlock of " + name(environment));
      return 0;
    }
    close(*object, "DestroyEnvironmentBlock");
    if (destroy_error_) {
      last_error = *destroy_error_;
      return 0;
    }
    return 1;
  }

  std::int32_t CreateProcessAsUserW(platform::Handle token, const char16_t* application_name,
                                    char16_t* command_line, void* process_attributes, void* thread_attributes,
                                    std::int32_t inherit_handles, std::uint32_t creation_flags, void* environment,
                                    const char16_t* current_directory, platform::StartupInfoW* startup_info,
                                    platform::ProcessInformation* process_information) override {
    calls.push_back("CreateProcessAsUserW(" + name(token) + ")");
    CreateProcessCall call;
    call.token = token;
    if (application_name) call.application_name = with_nul(application_name);
    if (command_line) call.command_line = with_nul(command_line);
    call.command_line_is_own_buffer =
        command_line != nullptr && static_cast<const char16_t*>(command_line) != application_name;
    call.process_attributes = process_attributes;
    call.thread_attributes = thread_attributes;
    call.inherit_handles = inherit_handles;
    call.creation_flags = creation_flags;
    call.environment = environment;
    call.current_directory = current_directory;
    if (startup_info) {
      call.startup = *startup_info;
      if (startup_info->lpDesktop) call.desktop = with_nul(startup_info->lpDesktop);
    }
    call.process_information_given = process_information != nullptr;
    if (process_information) {
      const platform::ProcessInformation& p = *process_information;
      call.process_information_was_zero =
          p.hProcess == nullptr && p.hThread == nullptr && p.dwProcessId == 0 && p.dwThreadId == 0;
    }
    create_process_calls.push_back(std::move(call));

    if (!is_open(token, Kind::Token)) problem("CreateProcessAsUserW with " + name(token));
    if (!is_open(environment, Kind::EnvironmentBlock)) problem("CreateProcessAsUserW with " + name(environment));
    if (create_process_error_) {
      last_error = *create_process_error_;
      return 0;
    }
    platform::Handle process = hand_out(Kind::Process);
    platform::Handle thread = hand_out(Kind::Thread);
    std::uint32_t pid = 4000 + 4 * static_cast<std::uint32_t>(processes_.size());
    processes_[process] = Process{pid, std::nullopt};
    *process_information = platform::ProcessInformation{process, thread, pid, pid + 2};
    return 1;
  }

  std::int32_t TerminateProcess(platform::Handle process, std::uint32_t exit_code) override {
    calls.push_back("TerminateProcess(" + name(process) + ", " + std::to_string(exit_code) + ")");
    auto it = processes_.find(process);
    if (it == processes_.end() || !is_open(process, Kind::Process)) {
      problem("TerminateProcess of " + name(process));
      last_error = ERROR_INVALID_HANDLE;
      return 0;
    }
    if (it->second.exit_code) {  // Windows refuses to end a process that already ended
      last_error = ERROR_ACCESS_DENIED;
      return 0;
    }
    it->second.exit_code = exit_code;
    return 1;
  }

  std::uint32_t WaitForSingleObject(platform::Handle object, std::uint32_t milliseconds) override {
    calls.push_back("WaitForSingleObject(" + name(object) + ", " + std::to_string(milliseconds) + ")");
    if (wait_answer_) return *wait_answer_;
    auto it = processes_.find(object);
    if (it == processes_.end() || !is_open(object, Kind::Process)) {
      last_error = ERROR_INVALID_HANDLE;
      return 0xFFFFFFFF;
    }
    return it->second.exit_code ? 0 : 0x102;
  }

  std::int32_t GetExitCodeProcess(platform::Handle process, std::uint32_t* exit_code) override {
    calls.push_back("GetExitCodeProcess(" + name(process) + ")");
    exit_code_presets.push_back(*exit_code);
    if (exit_code_error_) {
      last_error = *exit_code_error_;
      return 0;
    }
    auto it = processes_.find(process);
    if (it == processes_.end() || !is_open(process, Kind::Process)) {
      last_error = ERROR_INVALID_HANDLE;
      return 0;
    }
    *exit_code = it->second.exit_code.value_or(STILL_ACTIVE);
    return 1;
  }

  std::uint32_t FormatMessageW(std::uint32_t flags, const void* source, std::uint32_t message_id,
                               std::uint32_t language_id, char16_t** buffer, std::uint32_t size,
                               void* arguments) override {
    calls.push_back("FormatMessageW(" + hex(flags) + ", " + name(const_cast<void*>(source)) + ", " +
                    hex(message_id) + ", " + std::to_string(language_id) + ", " + std::to_string(size) + ", " +
                    name(arguments) + ")");
    std::string module;
    if (source) {
      Object* object = find(const_cast<void*>(source));
      module = object && object->kind == Kind::Module ? object->module_name : "?";
    }
    auto it = messages_.find({module, message_id});
    if (it == messages_.end()) {
      last_error = ERROR_MR_MID_NOT_FOUND;
      return 0;
    }
    std::u16string& text = message_storage_.emplace_back(it->second);
    *buffer = text.data();
    register_object(text.data(), Kind::MessageBuffer);
    return static_cast<std::uint32_t>(text.size());
  }

  void* LocalFree(void* memory) override {
    calls.push_back("LocalFree(" + name(memory) + ")");
    Object* object = find(memory);
    if (!object || object->kind != Kind::MessageBuffer) {
      problem("LocalFree of " + name(memory));
      return memory;
    }
    close(*object, "LocalFree");
    return nullptr;
  }

  platform::Handle LoadLibraryExA(const char* file_name, platform::Handle file, std::uint32_t flags) override {
    std::string module = file_name ? file_name : "null";
    calls.push_back("LoadLibraryExA(" + module + ", " + name(file) + ", " + hex(flags) + ")");
    for (auto& [value, object] : objects_) {
      if (object.kind == Kind::Module && object.module_name == module) return value;
    }
    platform::Handle h = hand_out(Kind::Module);
    objects_[h].module_name = module;
    objects_[h].label = module;
    return h;
  }

  std::int32_t QueryPerformanceCounter(std::int64_t* count) override {
    calls.push_back("QueryPerformanceCounter");
    *count = performance_counter;
    return 1;
  }

  std::int32_t QueryPerformanceFrequency(std::int64_t* frequency) override {
    calls.push_back("QueryPerformanceFrequency");
    *frequency = performance_frequency;
    return 1;
  }

 private:
  enum class Kind { Token, EnvironmentBlock, Thread, Process, MessageBuffer, Module };

  struct Object {
    Kind kind;
    std::string label;
    int closes = 0;
    std::string module_name;
  };

  struct Process {
    std::uint32_t pid;
    std::optional<std::uint32_t> exit_code;
  };

  static std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(v));
    return text;
  }

  static const char* prefix(Kind kind) {
    switch (kind) {
      case Kind::Token: return "token";
      case Kind::EnvironmentBlock: return "env";
      case Kind::Thread: return "thread";
      case Kind::Process: return "process";
      case Kind::MessageBuffer: return "message";
      case Kind::Module: return "module";
    }
    return "?";
  }

  static std::u16string with_nul(const char16_t* s) {
    std::u16string units;
    do units.push_back(*s); while (*s++ != u'\0');
    return units;
  }

  platform::Handle hand_out(Kind kind) {
    next_value_ += 0x10;
    void* value = reinterpret_cast<void*>(next_value_);
    register_object(value, kind);
    return value;
  }

  void register_object(void* value, Kind kind) {
    int n = ++counts_[kind];
    objects_[value] = Object{kind, prefix(kind) + std::to_string(n), 0, {}};
  }

  Object* find(void* value) {
    auto it = objects_.find(value);
    return it == objects_.end() ? nullptr : &it->second;
  }

  bool is_open(void* value, Kind kind) {
    Object* object = find(value);
    return object && object->kind == kind && object->closes == 0;
  }

  std::string name(void* value) {
    if (!value) return "null";
    Object* object = find(value);
    if (object) return object->label;
    return "unknown";
  }

  void close(Object& object, const std::string& how) {
    if (++object.closes > 1) problem(how + " of " + object.label + " again");
  }

  void problem(const std::string& what) {
    problems_.push_back(what);
    ADD_FAILURE() << "FakeProcesses: " << what;
  }

  std::uintptr_t next_value_ = 0x10000;
  std::map<Kind, int> counts_;
  std::map<void*, Object> objects_;
  std::map<platform::Handle, Process> processes_;
  std::map<std::pair<std::string, std::uint32_t>, std::u16string> messages_;
  std::list<std::u16string> message_storage_;
  Calls problems_;

  std::optional<std::uint32_t> module_file_name_error_;
  std::optional<std::uint32_t> query_token_error_;
  std::optional<std::uint32_t> environment_error_;
  std::optional<std::uint32_t> create_process_error_;
  std::optional<std::uint32_t> exit_code_error_;
  std::optional<std::uint32_t> close_error_;
  std::optional<std::uint32_t> destroy_error_;
  std::optional<std::uint32_t> wait_answer_;
};

}  // namespace quolin::fakes
