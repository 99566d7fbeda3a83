#include "platform/processes.h"

#include "platform/windows_headers.h"

#include <cstdarg>
#include <cstddef>
#include <userenv.h>
#include <wtsapi32.h>

namespace quolin::platform {
namespace {

// The mirrors must be the very structures Windows reads and writes.
static_assert(sizeof(StartupInfoW) == sizeof(STARTUPINFOW));
static_assert(offsetof(StartupInfoW, cb) == offsetof(STARTUPINFOW, cb));
static_assert(offsetof(StartupInfoW, lpReserved) == offsetof(STARTUPINFOW, lpReserved));
static_assert(offsetof(StartupInfoW, lpDesktop) == offsetof(STARTUPINFOW, lpDesktop));
static_assert(offsetof(StartupInfoW, lpTitle) == offsetof(STARTUPINFOW, lpTitle));
static_assert(offsetof(StartupInfoW, dwX) == offsetof(STARTUPINFOW, dwX));
static_assert(offsetof(StartupInfoW, dwFlags) == offsetof(STARTUPINFOW, dwFlags));
static_assert(offsetof(StartupInfoW, wShowWindow) == offsetof(STARTUPINFOW, wShowWindow));
static_assert(offsetof(StartupInfoW, cbReserved2) == offsetof(STARTUPINFOW, cbReserved2));
static_assert(offsetof(StartupInfoW, lpReserved2) == offsetof(STARTUPINFOW, lpReserved2));
static_assert(offsetof(StartupInfoW, hStdInput) == offsetof(STARTUPINFOW, hStdInput));
static_assert(offsetof(StartupInfoW, hStdOutput) == offsetof(STARTUPINFOW, hStdOutput));
static_assert(offsetof(StartupInfoW, hStdError) == offsetof(STARTUPINFOW, hStdError));
static_assert(sizeof(ProcessInformation) == sizeof(PROCESS_INFORMATION));
static_assert(offsetof(ProcessInformation, hProcess) == offsetof(PROCESS_INFORMATION, hProcess));
static_assert(offsetof(ProcessInformation, hThread) == offsetof(PROCESS_INFORMATION, hThread));
static_assert(offsetof(ProcessInformation, dwProcessId) == offsetof(PROCESS_INFORMATION, dwProcessId));
static_assert(offsetof(ProcessInformation, dwThreadId) == offsetof(PROCESS_INFORMATION, dwThreadId));
static_assert(sizeof(char16_t) == sizeof(WCHAR));

LPWSTR wide(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
LPCWSTR wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }

class Win32Processes final : public Processes {
 public:
  void CloseHandle(Handle h) override {
    // Owners close on error paths too: the caller's last error must survive.
    DWORD saved = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(saved);
  }

  void SetLastError(std::uint32_t error) override { ::SetLastError(error); }
  std::uint32_t GetLastError() override { return ::GetLastError(); }

  std::uint32_t GetModuleFileNameW(Handle module, char16_t* buffer, std::uint32_t size) override {
    return ::GetModuleFileNameW(static_cast<HMODULE>(module), wide(buffer), size);
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override { return ::WTSGetActiveConsoleSessionId(); }

  std::int32_t WTSQueryUserToken(std::uint32_t session_id, Handle* token) override {
    return ::WTSQueryUserToken(session_id, token);
  }

  std::int32_t CreateEnvironmentBlock(void** environment, Handle token, std::int32_t inherit) override {
    return ::CreateEnvironmentBlock(environment, token, inherit);
  }

  std::int32_t DestroyEnvironmentBlock(void* environment) override {
    return ::DestroyEnvironmentBlock(environment);
  }

  std::int32_t CreateProcessAsUserW(Handle token, const char16_t* application_name, char16_t* command_line,
                                    void* process_attributes, void* thread_attributes,
                                    std::int32_t inherit_handles, std::uint32_t creation_flags,
                                    void* environment, const char16_t* current_directory,
                                    StartupInfoW* startup_info,
                                    ProcessInformation* process_information) override {
    return ::CreateProcessAsUserW(token, wide(application_name), wide(command_line),
                                  static_cast<LPSECURITY_ATTRIBUTES>(process_attributes),
                                  static_cast<LPSECURITY_ATTRIBUTES>(thread_attributes), inherit_handles,
                                  creation_flags, environment, wide(current_directory),
                                  reinterpret_cast<LPSTARTUPINFOW>(startup_info),
                                  reinterpret_cast<LPPROCESS_INFORMATION>(process_information));
  }

  std::int32_t TerminateProcess(Handle process, std::uint32_t exit_code) override {
    return ::TerminateProcess(process, exit_code);
  }

  std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
    return ::WaitForSingleObject(object, milliseconds);
  }

  std::int32_t GetExitCodeProcess(Handle process, std::uint32_t* exit_code) override {
    DWORD code = *exit_code;
    BOOL ok = ::GetExitCodeProcess(process, &code);
    *exit_code = code;
    return ok;
  }

  std::uint32_t FormatMessageW(std::uint32_t flags, const void* source, std::uint32_t message_id,
                               std::uint32_t language_id, char16_t** buffer, std::uint32_t size,
                               void* arguments) override {
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument is the address of a pointer.
    return ::FormatMessageW(flags, source, message_id, language_id, reinterpret_cast<LPWSTR>(buffer), size,
                            static_cast<va_list*>(arguments));
  }

  void* LocalFree(void* memory) override { return ::LocalFree(memory); }

  Handle LoadLibraryExA(const char* file_name, Handle file, std::uint32_t flags) override {
    return ::LoadLibraryExA(file_name, file, flags);
  }

  std::int32_t QueryPerformanceCounter(std::int64_t* count) override {
    LARGE_INTEGER value{};
    BOOL ok = ::QueryPerformanceCounter(&value);
    *count = value.QuadPart;
    return ok;
  }

  std::int32_t QueryPerformanceFrequency(std::int64_t* frequency) override {
    LARGE_INTEGER value{};
    BOOL ok = ::QueryPerformanceFrequency(&value);
    *frequency = value.QuadPart;
    return ok;
  }
};

}  // namespace

Processes& win32_processes() {
  static auto& processes = *new Win32Processes;
  return processes;
}

}  // namespace quolin::platform
