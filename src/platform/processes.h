// Processes and sessions: the Windows calls that find the console user, start the host as that
// user, watch it and end it, plus the error-text and clock calls that go with them.
//
//   platform::Processes& api = platform::win32_processes();
//   platform::UniqueToken token(api);
//   if (!api.WTSQueryUserToken(session, token.put())) { uint32_t e = api.GetLastError(); ... }
//
// Every method stands for the Windows call of the same name and takes portable types: BOOL is
// int32_t, DWORD/UINT/ULONG are uint32_t, LPWSTR is char16_t*, HANDLE/HMODULE are Handle.
// Structures the calls fill are mirrored below with the exact 64-bit layout, so a fake sees
// every field the caller set.
#pragma once

#include <cstdint>

#include "platform/owned.h"

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

class Processes : public HandleCloser {
 public:
  virtual void SetLastError(std::uint32_t error) = 0;
  virtual std::uint32_t GetLastError() = 0;

  // `module` null means the running executable. Returns the units written without the NUL;
  // `size` when the buffer was too small (last error 122), 0 on failure.
  virtual std::uint32_t GetModuleFileNameW(Handle module, char16_t* buffer, std::uint32_t size) = 0;

  // 0xFFFFFFFF when no session is attached to the physical console.
  virtual std::uint32_t WTSGetActiveConsoleSessionId() = 0;
  // A primary token of the user in that session, closed with CloseHandle.
  virtual std::int32_t WTSQueryUserToken(std::uint32_t session_id, Handle* token) = 0;
  // That user's environment block (UTF-16), freed with DestroyEnvironmentBlock.
  virtual std::int32_t CreateEnvironmentBlock(void** environment, Handle token, std::int32_t inherit) = 0;
  virtual std::int32_t DestroyEnvironmentBlock(void* environment) = 0;

  // All eleven parameters, in Windows' order. The security attributes are always null here,
  // so they are plain pointers.
  virtual std::int32_t CreateProcessAsUserW(Handle token, const char16_t* application_name,
                                            char16_t* command_line, void* process_attributes,
                                            void* thread_attributes, std::int32_t inherit_handles,
                                            std::uint32_t creation_flags, void* environment,
                                            const char16_t* current_directory,
                                            StartupInfoW* startup_info,
                                            ProcessInformation* process_information) = 0;
  virtual std::int32_t TerminateProcess(Handle process, std::uint32_t exit_code) = 0;
  // WAIT_OBJECT_0 (0), WAIT_TIMEOUT (0x102) or WAIT_FAILED (0xFFFFFFFF).
  virtual std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;
  virtual std::int32_t GetExitCodeProcess(Handle process, std::uint32_t* exit_code) = 0;

  // Always called with FORMAT_MESSAGE_ALLOCATE_BUFFER: `buffer` receives the address of the
  // message that the call allocated, which the caller frees with LocalFree.
  virtual std::uint32_t FormatMessageW(std::uint32_t flags, const void* source, std::uint32_t message_id,
                                       std::uint32_t language_id, char16_t** buffer, std::uint32_t size,
                                       void* arguments) = 0;
  virtual void* LocalFree(void* memory) = 0;
  virtual Handle LoadLibraryExA(const char* file_name, Handle file, std::uint32_t flags) = 0;

  virtual std::int32_t QueryPerformanceCounter(std::int64_t* count) = 0;
  virtual std::int32_t QueryPerformanceFrequency(std::int64_t* frequency) = 0;

 protected:
  ~Processes() = default;
};

// A user token from WTSQueryUserToken.
struct TokenTraits {
  using Api = Processes;
  using pointer = Handle;
  static bool is_valid(pointer h) { return is_valid_handle(h); }
  static void close(Api& api, pointer h) { api.CloseHandle(h); }
};
using UniqueToken = Owned<TokenTraits>;

// An environment block from CreateEnvironmentBlock.
struct EnvironmentBlockTraits {
  using Api = Processes;
  using pointer = void*;
  static bool is_valid(pointer p) { return p != nullptr; }
  static void close(Api& api, pointer p) { static_cast<void>(api.DestroyEnvironmentBlock(p)); }
};
using UniqueEnvironmentBlock = Owned<EnvironmentBlockTraits>;

// A message buffer that FormatMessageW allocated.
struct MessageBufferTraits {
  using Api = Processes;
  using pointer = char16_t*;
  static bool is_valid(pointer p) { return p != nullptr; }
  static void close(Api& api, pointer p) { static_cast<void>(api.LocalFree(p)); }
};
using UniqueMessageBuffer = Owned<MessageBufferTraits>;

// Thread and process handles are plain UniqueHandle (CloseHandle through HandleCloser).

#ifdef _WIN32
// The real calls. Never destroyed: the service thread may outlive main().
Processes& win32_processes();
#endif

}  // namespace quolin::platform
