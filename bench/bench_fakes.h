// Stand-ins for the platform that cost next to nothing and allocate nothing, so that what a
// benchmark or the soak run measures is the service's own work: no call log, no tables.
//
//   BenchProcesses api;                       // the console user's session is 1
//   ServiceHostLauncher launcher(api, "C:\\Quolin\\quolin.exe");
//   api.host_exits_with(3);                   // the next exit poll finds the host ended
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "log/line_writer.h"
#include "platform/duration.h"
#include "platform/processes.h"
#include "platform/service_control.h"
#include "supervisor/host_launcher.h"

namespace quolin::bench {

// Takes every line and keeps none of them.
class NullLineWriter final : public LineWriter {
 public:
  Status<LogError> write_line(std::string_view message) override {
    ++lines_;
    bytes_ += message.size();
    return {};
  }
  std::uint64_t lines() const { return lines_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  std::uint64_t lines_ = 0;
  std::uint64_t bytes_ = 0;
};

// A monotonic clock moved by hand.
class ManualClock final : public MonotonicClock {
 public:
  Instant now() override { return now_; }
  void advance(Duration by) { now_ = now_.plus(by); }

 private:
  Instant now_{Duration::from_secs(1'000'000)};
};

// The processes-and-sessions calls, answered from a few fields. Every launch succeeds in session
// 1 with fresh handle values; an exit poll reports the exit that host_exits_with() arranged.
class BenchProcesses final : public platform::Processes {
 public:
  void host_exits_with(std::optional<std::uint32_t> code) {
    exited_ = true;
    exit_code_ = code;
  }

  std::uint64_t handles_opened() const { return opened_; }
  std::uint64_t handles_closed() const { return closed_; }

  void CloseHandle(platform::Handle) override { ++closed_; }
  void SetLastError(std::uint32_t error) override { last_error_ = error; }
  std::uint32_t GetLastError() override { return last_error_; }

  std::uint32_t GetModuleFileNameW(platform::Handle, char16_t* buffer, std::uint32_t size) override {
    constexpr std::u16string_view path = u"C:\\Program Files\\Quolin\\QuolinHost.exe";
    if (path.size() >= size) {
      last_error_ = 122;
      path.copy(buffer, size);
      return size;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = u'\0';
    return static_cast<std::uint32_t>(path.size());
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override { return 1; }
  std::int32_t WTSQueryUserToken(std::uint32_t, platform::Handle* token) override {
    *token = next_handle();
    return 1;
  }
  std::int32_t CreateEnvironmentBlock(void** environment, platform::Handle, std::int32_t) override {
    *environment = &environment_block_;
    return 1;
  }
  std::int32_t DestroyEnvironmentBlock(void*) override { return 1; }

  std::int32_t CreateProcessAsUserW(platform::Handle, const char16_t*, char16_t*, void*, void*,
                                    std::int32_t, std::uint32_t, void*, const char16_t*,
                                    platform::StartupInfoW*,
                                    platform::ProcessInformation* info) override {
    info->hProcess = next_handle();
    info->hThread = next_handle();
    info->dwProcessId = ++pid_;
    info->dwThreadId = pid_ + 1;
    exited_ = false;
    return 1;
  }
  std::int32_t TerminateProcess(platform::Handle, std::uint32_t) override {
    exited_ = true;
    return 1;
  }
  std::uint32_t WaitForSingleObject(platform::Handle, std::uint32_t) override {
    return exited_ ? 0u : 0x102u;
  }
  std::int32_t GetExitCodeProcess(platform::Handle, std::uint32_t* exit_code) override {
    if (!exit_code_) {
      last_error_ = 6;
      return 0;
    }
    *exit_code = *exit_code_;
    return 1;
  }

  std::uint32_t FormatMessageW(std::uint32_t, const void*, std::uint32_t, std::uint32_t, char16_t**,
                               std::uint32_t, void*) override {
    last_error_ = 317;
    return 0;
  }
  void* LocalFree(void*) override { return nullptr; }
  platform::Handle LoadLibraryExA(const char*, platform::Handle, std::uint32_t) override {
    return nullptr;
  }

  // The counter runs at 10 MHz, as it does on most Windows machines, from the steady clock.
  std::int32_t QueryPerformanceCounter(std::int64_t* count) override {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    *count = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    return 1;
  }
  std::int32_t QueryPerformanceFrequency(std::int64_t* frequency) override {
    *frequency = 10'000'000;
    return 1;
  }

 private:
  platform::Handle next_handle() {
    ++opened_;
    // Never null and never INVALID_HANDLE_VALUE: multiples of 4 from 0x1000, as kernel handles.
    return reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x1000 + 4 * (opened_ % 0x100000)));
  }

  std::uint32_t last_error_ = 0;
  std::uint32_t pid_ = 4000;
  std::uint64_t opened_ = 0;
  std::uint64_t closed_ = 0;
  bool exited_ = false;
  std::optional<std::uint32_t> exit_code_;
  int environment_block_ = 0;
};

// The Service Control Manager: registration and every status report succeed.
class BenchServiceControl final : public platform::ServiceControl {
 public:
  bool StartServiceCtrlDispatcherW(const char16_t*, platform::ServiceMainFunction) override {
    return false;
  }
  platform::ServiceStatusHandle RegisterServiceCtrlHandlerExW(const char16_t*,
                                                              platform::HandlerExFunction,
                                                              void*) override {
    return &status_handle_;
  }
  bool SetServiceStatus(platform::ServiceStatusHandle, const platform::SERVICE_STATUS& status) override {
    last_state_ = status.dwCurrentState;
    return true;
  }
  std::uint32_t GetLastError() override { return 0; }
  std::uint32_t FormatMessageW(std::uint32_t, std::uint32_t, std::uint32_t, char16_t*,
                               std::uint32_t) override {
    return 0;
  }

  std::uint32_t last_state() const { return last_state_; }

 private:
  int status_handle_ = 0;
  std::uint32_t last_state_ = 0;
};

}  // namespace quolin::bench
