#include "platform/processes.h"

#include "platform/windows_headers.h"

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
static_assert(JOB_LIMIT_KILL_ON_JOB_CLOSE == JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
static_assert(JOB_LIMIT_SILENT_BREAKAWAY_OK == JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK);
static_assert(CREATE_UNICODE_ENVIRONMENT_FLAG == CREATE_UNICODE_ENVIRONMENT);
static_assert(WAIT_SIGNALLED == WAIT_OBJECT_0);
static_assert(LOAD_SEARCH_DEFAULT_DIRS == LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
static_assert(MESSAGE_IGNORE_INSERTS == FORMAT_MESSAGE_IGNORE_INSERTS);
static_assert(MESSAGE_FROM_HMODULE == FORMAT_MESSAGE_FROM_HMODULE);
static_assert(MESSAGE_FROM_SYSTEM == FORMAT_MESSAGE_FROM_SYSTEM);
static_assert(HRESULT_NT_BIT == FACILITY_NT_BIT);

LPWSTR wide(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }
LPCWSTR wide(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }


class Win32Processes final : public Processes {
 public:
  void CloseHandle(Handle h) override { ::CloseHandle(h); }

  SysResult<std::uint32_t> GetModuleFileNameW(Handle module, char16_t* buffer, std::uint32_t size) override {
    DWORD n = ::GetModuleFileNameW(static_cast<HMODULE>(module), wide(buffer), size);
    if (n == 0) return last_failure();
    return static_cast<std::uint32_t>(n);
  }

  std::uint32_t WTSGetActiveConsoleSessionId() override { return ::WTSGetActiveConsoleSessionId(); }

  SysResult<UniqueHandle> WTSQueryUserToken(std::uint32_t session_id) override {
    HANDLE token = nullptr;
    if (!::WTSQueryUserToken(session_id, &token)) return last_failure();
    return UniqueHandle(*this, token);
  }

  SysResult<UniqueEnvironmentBlock> CreateEnvironmentBlock(Handle token, bool inherit) override {
    void* environment = nullptr;
    if (!::CreateEnvironmentBlock(&environment, token, inherit)) return last_failure();
    return UniqueEnvironmentBlock(*this, environment);
  }

  void DestroyEnvironmentBlock(void* environment) override { ::DestroyEnvironmentBlock(environment); }

  SysStatus CreateProcessAsUserW(Handle token, const char16_t* application_name, char16_t* command_line,
                                 void* process_attributes, void* thread_attributes, bool inherit_handles,
                                 std::uint32_t creation_flags, void* environment,
                                 const char16_t* current_directory, StartupInfoW* startup_info,
                                 ProcessInformation* process_information) override {
    if (!::CreateProcessAsUserW(token, wide(application_name), wide(command_line),
                                static_cast<LPSECURITY_ATTRIBUTES>(process_attributes),
                                static_cast<LPSECURITY_ATTRIBUTES>(thread_attributes), inherit_handles,
                                creation_flags, environment, wide(current_directory),
                                reinterpret_cast<LPSTARTUPINFOW>(startup_info),
                                reinterpret_cast<LPPROCESS_INFORMATION>(process_information))) {
      return last_failure();
    }
    return {};
  }

  SysStatus TerminateProcess(Handle process, std::uint32_t exit_code) override {
    if (!::TerminateProcess(process, exit_code)) return last_failure();
    return {};
  }

  SysResult<UniqueHandle> CreateJobObjectW() override {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return last_failure();
    return UniqueHandle(*this, job);
  }

  SysStatus SetInformationJobObject(Handle job, std::uint32_t limit_flags) override {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = limit_flags;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      return last_failure();
    }
    return {};
  }

  SysStatus AssignProcessToJobObject(Handle job, Handle process) override {
    if (!::AssignProcessToJobObject(job, process)) return last_failure();
    return {};
  }

  SysResult<std::uint32_t> WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
    DWORD result = ::WaitForSingleObject(object, milliseconds);
    if (result == WAIT_FAILED) return last_failure();
    return static_cast<std::uint32_t>(result);
  }

  SysResult<std::uint32_t> GetExitCodeProcess(Handle process) override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) return last_failure();
    return static_cast<std::uint32_t>(code);
  }

  SysResult<std::u16string> FormatMessageW(std::uint32_t flags, Handle module,
                                           std::uint32_t message_id) override {
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument is the address of a pointer.
    wchar_t* buffer = nullptr;
    DWORD length = ::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, module, message_id, 0,
                                    reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr) {
      SysError error(::GetLastError());
      if (buffer != nullptr) ::LocalFree(buffer);
      return fail(error);
    }
    std::u16string text(reinterpret_cast<const char16_t*>(buffer), length);
    ::LocalFree(buffer);
    return text;
  }

  SysResult<Handle> LoadLibraryExA(const char* file_name, std::uint32_t flags) override {
    HMODULE module = ::LoadLibraryExA(file_name, nullptr, flags);
    if (module == nullptr) return last_failure();
    return Handle{module};
  }
};

}  // namespace

Processes& win32_processes() {
  static auto& processes = *new Win32Processes;
  return processes;
}

}  // namespace quolin::platform
