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
#include <vector>

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

// Flags of CreateFileW. OPEN_REPARSE_POINT opens a link itself rather than what it points at;
// BACKUP_SEMANTICS lets a folder be opened at all.
inline constexpr std::uint32_t FLAG_OPEN_REPARSE_POINT = 0x00200000;
inline constexpr std::uint32_t FLAG_BACKUP_SEMANTICS = 0x02000000;
// OPEN_EXISTING: open, never create.
inline constexpr std::uint32_t DISPOSITION_OPEN_EXISTING = 3;
// READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY: enough to read a folder's owner,
// access list and kind. Listing is asked for too, so that the share mode the folder is opened
// with binds others while the handle is held (an open without data access binds nobody).
inline constexpr std::uint32_t ACCESS_INSPECT = 0x20081;
// FILE_SHARE_READ | FILE_SHARE_WRITE: others may not delete or rename.
inline constexpr std::uint32_t FILE_SHARE_READ_WRITE = 3;
// FILE_READ_ATTRIBUTES alone.
inline constexpr std::uint32_t ACCESS_READ_ATTRIBUTES = 0x80;
// DELETE: asked for only to move a file or folder aside (a handle with it is refused while
// anyone holds the object without sharing deletion).
inline constexpr std::uint32_t ACCESS_DELETE = 0x10000;

// File attributes.
inline constexpr std::uint32_t ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t ATTRIBUTE_REPARSE_POINT = 0x400;

// Access rights that let a holder write, delete, or change the rights or the owner of a folder
// or of what is made in it: FILE_WRITE_DATA (add a file), FILE_APPEND_DATA (add a folder),
// FILE_WRITE_EA, FILE_DELETE_CHILD, FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_ALL and GENERIC_WRITE. Reading, listing and traversing are not among them.
inline constexpr std::uint32_t RIGHTS_THAT_CHANGE = 0x500D0156;

// What a handle's file is, by the handle.
struct FileIdentity {
  std::uint32_t attributes = 0;       // FILE_ATTRIBUTE_*
  std::uint32_t number_of_links = 0;  // its names in the file system; 1 unless hard-linked
};

// What stands for a SID that cannot be read or shown.
inline constexpr std::string_view UNREADABLE_SID = "(unreadable)";

// One entry of an access list, as far as the log's check needs it.
struct AccessEntry {
  bool allows = false;     // an entry that grants (of any allowed-ACE type); others only take away
  std::uint32_t mask = 0;  // the rights it grants or denies
  std::string sid;         // "S-1-5-18" and the like; UNREADABLE_SID when it cannot be shown
};

// An object's owner and access list, read from an open handle.
struct ObjectSecurity {
  std::string owner;          // the owner's SID as text
  bool has_access_list = false;  // false: a NULL access list, which grants everyone everything
  std::vector<AccessEntry> entries;
};

class Files : public HandleCloser {
 public:
  // The variable's value, which may be empty; nullopt when it does not exist or cannot be read.
  virtual std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) = 0;

  // Makes one folder, without security attributes. Fails with CODE_ALREADY_EXISTS when anything
  // exists at the path, CODE_PATH_NOT_FOUND and the like when the folder above is missing.
  virtual SysStatus CreateDirectoryW(const std::u16string& path) = 0;

  // The same, with the security descriptor written as SDDL (owner and access list), so the
  // folder never exists with inherited rights, not even for a moment.
  virtual SysStatus CreateDirectoryW(const std::u16string& path, std::u16string_view sddl) = 0;

  // The attributes of the path itself: a link's own, never its target's (a link to a folder
  // shows ATTRIBUTE_DIRECTORY too).
  virtual SysResult<std::uint32_t> GetFileAttributesW(const std::u16string& path) = 0;

  // CreateFileW without security attributes or template.
  virtual SysResult<UniqueHandle> CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                              std::uint32_t share_mode, std::uint32_t creation_disposition,
                                              std::uint32_t flags) = 0;

  // Attributes and number of names of the open file or folder (FileAttributeTagInfo and
  // FileStandardInfo).
  virtual SysResult<FileIdentity> GetFileInformationByHandleEx(Handle file) = 0;

  // Owner and access list of the open file or folder (GetSecurityInfo).
  virtual SysResult<ObjectSecurity> GetSecurityInfo(Handle object) = 0;

  // The SID of the account this process runs as (the token's user), as text.
  virtual SysResult<std::string> process_account_sid() = 0;

  // Renames the open file or folder to `new_path` (FileRenameInfo), never replacing what is
  // there: a taken name fails with CODE_ALREADY_EXISTS. What moves is what the handle opened,
  // whatever the path names by then; the handle needs ACCESS_DELETE.
  virtual SysStatus SetFileInformationByHandle(Handle file, const std::u16string& new_path) = 0;

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
