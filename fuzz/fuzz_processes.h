// A processes platform for the fuzz targets: the executable's path and the system's message
// texts come from the fuzz bytes; every other call is a finding, since the code under test must
// not make it.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/processes.h"

namespace quolin::fuzz {

class FuzzProcesses final : public platform::Processes {
 public:
  // ---- GetModuleFileNameW ----
  enum class PathMode {
    Fills,            // as Windows: cut short to the buffer, return its size, last error 122
    ReportsNeeded,    // as some systems: return the size needed, NUL included, buffer untouched
    Fails,            // return 0 with last error `path_error`
  };
  PathMode path_mode = PathMode::Fills;
  std::u16string executable_path;
  std::uint32_t path_error = 5;
  std::vector<std::uint32_t> path_buffer_sizes;  // the size of every call

  // ---- FormatMessageW (always with FORMAT_MESSAGE_ALLOCATE_BUFFER) ----
  std::optional<std::u16string> message;  // nullopt: the call fails
  std::uint32_t message_error = 317;
  platform::Handle ntdll = reinterpret_cast<platform::Handle>(0x7700);
  struct FormatCall {
    std::uint32_t flags;
    const void* source;
    std::uint32_t message_id;
  };
  std::vector<FormatCall> format_calls;
  std::vector<std::string> loaded_modules;
  int buffers_live = 0;

  void CloseHandle(platform::Handle) override { unexpected("CloseHandle"); }
  void SetLastError(std::uint32_t error) override { last_error_ = error; }
  std::uint32_t GetLastError() override { return last_error_; }

  std::uint32_t GetModuleFileNameW(platform::Handle module, char16_t* buffer, std::uint32_t size) override {
    FUZZ_CHECK(module == nullptr);
    FUZZ_CHECK(buffer != nullptr && size > 0);
    path_buffer_sizes.push_back(size);
    const std::size_t length = executable_path.size();
    switch (path_mode) {
      case PathMode::Fails:
        last_error_ = path_error;
        return 0;
      case PathMode::ReportsNeeded:
        if (length >= size) {
          last_error_ = 122;
          return static_cast<std::uint32_t>(length + 1);
        }
        break;
      case PathMode::Fills:
        if (length >= size) {
          last_error_ = 122;
          executable_path.copy(buffer, size);
          return size;
        }
        break;
    }
    executable_path.copy(buffer, length);
    buffer[length] = u'\0';
    return static_cast<std::uint32_t>(length);
  }

  std::uint32_t FormatMessageW(std::uint32_t flags, const void* source, std::uint32_t message_id,
                               std::uint32_t, char16_t** buffer, std::uint32_t, void* arguments) override {
    format_calls.push_back({flags, source, message_id});
    FUZZ_CHECK(arguments == nullptr);
    if (!message) {
      last_error_ = message_error;
      return 0;
    }
    // A buffer the caller must give back through LocalFree, with the NUL Windows puts after it.
    auto* text = new char16_t[message->size() + 1];
    std::memcpy(text, message->data(), message->size() * sizeof(char16_t));
    text[message->size()] = u'\0';
    ++buffers_live;
    *buffer = text;
    return static_cast<std::uint32_t>(message->size());
  }

  void* LocalFree(void* memory) override {
    if (memory != nullptr) {
      --buffers_live;
      delete[] static_cast<char16_t*>(memory);
    }
    return nullptr;
  }

  platform::Handle LoadLibraryExA(const char* file_name, platform::Handle, std::uint32_t) override {
    loaded_modules.emplace_back(file_name);
    return ntdll;
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override { return unexpected("WTSGetActiveConsoleSessionId"); }
  std::int32_t WTSQueryUserToken(std::uint32_t, platform::Handle*) override { return unexpected("WTSQueryUserToken"); }
  std::int32_t CreateEnvironmentBlock(void**, platform::Handle, std::int32_t) override {
    return unexpected("CreateEnvironmentBlock");
  }
  std::int32_t DestroyEnvironmentBlock(void*) override { return unexpected("DestroyEnvironmentBlock"); }
  std::int32_t CreateProcessAsUserW(platform::Handle, const char16_t*, char16_t*, void*, void*, std::int32_t,
                                    std::uint32_t, void*, const char16_t*, platform::StartupInfoW*,
                                    platform::ProcessInformation*) override {
    return unexpected("CreateProcessAsUserW");
  }
  std::int32_t TerminateProcess(platform::Handle, std::uint32_t) override { return unexpected("TerminateProcess"); }
  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t) override {
    return unexpected("WaitForSingleObject");
  }
  std::int32_t GetExitCodeProcess(platform::Handle, std::uint32_t*) override { return unexpected("GetExitCodeProcess"); }
  std::int32_t QueryPerformanceCounter(std::int64_t*) override { return unexpected("QueryPerformanceCounter"); }
  std::int32_t QueryPerformanceFrequency(std::int64_t*) override { return unexpected("QueryPerformanceFrequency"); }

 private:
  [[noreturn]] static int unexpected_call(const char* name) {
    std::fprintf(stderr, "unexpected call of %s\n", name);
    std::abort();
  }
  static int unexpected(const char* name) { unexpected_call(name); }

  std::uint32_t last_error_ = 0;
};

}  // namespace quolin::fuzz
