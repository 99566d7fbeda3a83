// Processes and sessions: the Windows calls that find the console user, start the host as that
// user, watch it and end it, plus the error-text calls that go with them.
//
//   platform::Processes& api = platform::win32_processes();
//   SysResult<UniqueHandle> token = api.WTSQueryUserToken(session);
//   if (!token) ... token.error().code() is the system error code ...
//
// Every method stands for the Windows call of the same name and takes portable types: DWORD is
// uint32_t, LPWSTR is char16_t*, HANDLE/HMODULE are Handle. A call that can fail returns its
// failure as the system error code (system_error.h); what it hands out comes back owned.
// Structures the calls fill are mirrored below with the exact 64-bit layout, so a fake sees
// every field the caller set.
#pragma once

#include <cstdint>

#include <string>

#include "platform/owned.h"
#include "platform/system_error.h"

namespace quolin::platform {

// Mirror of STARTUPINFOW (104 bytes on 64-bit Windows).
struct StartupInfoW {
  std::uint32_t cb;
  char16_t* lpReserved;
  char16_t* lpDesktop;
  char16_t* lpTitle;
  std::uint32_t dwX;
  std::uint32_t dwY;
  std::uint32_t dwXSize;
  std::uint32_t dwYSize;
  std::uint32_t dwXCountChars;
  std::uint32_t dwYCountChars;
  std::uint32_t dwFillAttribute;
  std::uint32_t dwFlags;
  std::uint16_t wShowWindow;
  std::uint16_t cbReserved2;
  std::uint8_t* lpReserved2;
  Handle hStdInput;
  Handle hStdOutput;
  Handle hStdError;
};

// Mirror of PROCESS_INFORMATION.
struct ProcessInformation {
  Handle hProcess;
  Handle hThread;
  std::uint32_t dwProcessId;
  std::uint32_t dwThreadId;
};

static_assert(sizeof(void*) != 8 || sizeof(StartupInfoW) == 104, "STARTUPINFOW is 104 bytes on 64-bit");

// Job limits (JOB_OBJECT_LIMIT_*), under names of their own since windows.h defines them as
// macros: the processes in the job end when its last handle closes, and a process the host
// starts leaves the job without asking.
inline constexpr std::uint32_t JOB_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;
inline constexpr std::uint32_t JOB_LIMIT_SILENT_BREAKAWAY_OK = 0x1000;
// CREATE_UNICODE_ENVIRONMENT: the environment block handed to CreateProcessAsUserW is UTF-16.
inline constexpr std::uint32_t CREATE_UNICODE_ENVIRONMENT_FLAG = 0x400;
// WAIT_OBJECT_0: the object waited on is signalled (a process has ended).
inline constexpr std::uint32_t WAIT_SIGNALLED = 0;
// LOAD_LIBRARY_SEARCH_DEFAULT_DIRS: a library is looked for in the system's folders only.
inline constexpr std::uint32_t LOAD_SEARCH_DEFAULT_DIRS = 0x1000;

class Processes;

// An environment block from CreateEnvironmentBlock, freed with DestroyEnvironmentBlock.
struct EnvironmentBlockTraits {
  using Api = Processes;
  using pointer = void*;
  static bool is_valid(pointer p) { return p != nullptr; }
  static void close(Api& api, pointer p);
};
using UniqueEnvironmentBlock = Owned<EnvironmentBlockTraits>;

class Processes : public HandleCloser {
 public:
  // `module` null means the running executable. The units written without the NUL; `size`
  // (or more: the size needed) when the buffer was too small.
  virtual SysResult<std::uint32_t> GetModuleFileNameW(Handle module, char16_t* buffer,
                                                      std::uint32_t size) = 0;

  // 0xFFFFFFFF when no session is attached to the physical console.
  virtual std::uint32_t WTSGetActiveConsoleSessionId() = 0;
  // A primary token of the user in that session.
  virtual SysResult<UniqueHandle> WTSQueryUserToken(std::uint32_t session_id) = 0;
  // That user's environment block (UTF-16).
  virtual SysResult<UniqueEnvironmentBlock> CreateEnvironmentBlock(Handle token, bool inherit) = 0;
  // Its result is ignored everywhere, by design.
  virtual void DestroyEnvironmentBlock(void* environment) = 0;

  // All eleven parameters, in Windows' order. The security attributes are always null here,
  // so they are plain pointers. On success the caller owns both handles in `process_information`.
  virtual SysStatus CreateProcessAsUserW(Handle token, const char16_t* application_name,
                                         char16_t* command_line, void* process_attributes,
                                         void* thread_attributes, bool inherit_handles,
                                         std::uint32_t creation_flags, void* environment,
                                         const char16_t* current_directory,
                                         StartupInfoW* startup_info,
                                         ProcessInformation* process_information) = 0;
  virtual SysStatus TerminateProcess(Handle process, std::uint32_t exit_code) = 0;

  // A job object without security attributes or name.
  virtual SysResult<UniqueHandle> CreateJobObjectW() = 0;
  // JobObjectExtendedLimitInformation whose LimitFlags are `limit_flags`, everything else zero.
  virtual SysStatus SetInformationJobObject(Handle job, std::uint32_t limit_flags) = 0;
  virtual SysStatus AssignProcessToJobObject(Handle job, Handle process) = 0;
  // WAIT_OBJECT_0 (0) or WAIT_TIMEOUT (0x102); WAIT_FAILED is the failure.
  virtual SysResult<std::uint32_t> WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;
  virtual SysResult<std::uint32_t> GetExitCodeProcess(Handle process) = 0;

  // FormatMessageW into a buffer the call allocates (FORMAT_MESSAGE_ALLOCATE_BUFFER is added),
  // copied out and freed with LocalFree; `module` is the source for FORMAT_MESSAGE_FROM_HMODULE.
  virtual SysResult<std::u16string> FormatMessageW(std::uint32_t flags, Handle module,
                                                   std::uint32_t message_id) = 0;
  // A module stays loaded for the life of the process: it is never freed.
  virtual SysResult<Handle> LoadLibraryExA(const char* file_name, std::uint32_t flags) = 0;

 protected:
  ~Processes() = default;
};

inline void EnvironmentBlockTraits::close(Api& api, pointer p) { api.DestroyEnvironmentBlock(p); }

// Tokens, threads and processes are plain UniqueHandle (CloseHandle through HandleCloser).

#ifdef _WIN32
// The real calls. Never destroyed: the service thread may outlive main().
Processes& win32_processes();
#endif

}  // namespace quolin::platform
