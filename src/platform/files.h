// Files, environment and clocks: the calls the service log and the run loop's clock are made of.
//
//   Files& files = win32_files();
//   SysResult<UniqueHandle> file =
//       files.CreateFileW(path, FILE_APPEND_ONLY_ACCESS, FILE_SHARE_ALL, DISPOSITION_OPEN_ALWAYS);
//   if (!file) return fail(file.error());   // closed on every path from here on
//
// Paths and names are UTF-16 and reach Windows NUL-terminated (std::u16string guarantees it).
// Errors are the system's error codes (Win32 codes, never NTSTATUS values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/owned.h"
#include "platform/system_error.h"

namespace quolin::platform {

// Windows values that portable code needs. Windows defines most of them as macros, so these
// carry names of their own; the Win32 side checks them against the macros.

// FILE_GENERIC_WRITE without FILE_WRITE_DATA: with append access alone, every write lands at
// the end the file has at that moment.
inline constexpr std::uint32_t FILE_APPEND_ONLY_ACCESS = 0x120114;
// FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE.
inline constexpr std::uint32_t FILE_SHARE_ALL = 7;
// OPEN_ALWAYS: open, or create empty when missing; never truncate.
inline constexpr std::uint32_t DISPOSITION_OPEN_ALWAYS = 4;

class Files : public HandleCloser {
 public:
  // The variable's value, which may be empty; nullopt when it does not exist or cannot be read.
  virtual std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) = 0;

  // Makes one folder, without security attributes. Fails with CODE_ALREADY_EXISTS when anything
  // exists at the path, CODE_PATH_NOT_FOUND and the like when the folder above is missing.
  virtual SysStatus CreateDirectoryW(const std::u16string& path) = 0;

  // Whether the path names an existing folder, following links. A query that fails is "no".
  virtual bool is_folder(const std::u16string& path) = 0;

  // CreateFileW without security attributes, flags or template.
  virtual SysResult<UniqueHandle> CreateFileW(const std::u16string& path,
                                                     std::uint32_t desired_access,
                                                     std::uint32_t share_mode,
                                                     std::uint32_t creation_disposition) = 0;

  // One synchronous write at the end of the file (no byte offset). The number of bytes taken
  // (at most bytes.size(), possibly fewer), or why nothing was taken: CODE_INTERRUPTED when it
  // stopped before taking anything, so issuing it again is safe.
  virtual SysResult<std::size_t> NtWriteFile(Handle file, std::string_view bytes) = 0;

  // UTC now, as 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
  virtual std::int64_t GetSystemTimePreciseAsFileTime() = 0;

  // Suspends the calling thread for about this long.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // The monotonic high-resolution counter and its fixed frequency (ticks per second).
  virtual SysResult<std::int64_t> QueryPerformanceCounter() = 0;
  virtual SysResult<std::int64_t> QueryPerformanceFrequency() = 0;

 protected:
  ~Files() = default;
};

#ifdef _WIN32
// The real calls. The object is never destroyed: the service thread may outlive main().
Files& win32_files();
#endif

}  // namespace quolin::platform
