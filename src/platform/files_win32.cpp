#include "platform/files.h"

#include <cstdlib>
#include <limits>

#include "platform/windows_headers.h"

#include <winternl.h>

// winternl.h declares neither NtWriteFile nor its parameter list; this is ntdll's export.
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                      ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);

namespace quolin::platform {

static_assert(FILE_APPEND_ONLY_ACCESS == (FILE_GENERIC_WRITE & ~static_cast<DWORD>(FILE_WRITE_DATA)));
static_assert(FILE_SHARE_ALL == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
static_assert(DISPOSITION_OPEN_ALWAYS == OPEN_ALWAYS);
static_assert(CODE_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(CODE_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(CODE_ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(CODE_INVALID_DRIVE == ERROR_INVALID_DRIVE);
static_assert(CODE_BAD_NETPATH == ERROR_BAD_NETPATH);
static_assert(CODE_BAD_NET_NAME == ERROR_BAD_NET_NAME);
static_assert(CODE_ALREADY_EXISTS == ERROR_ALREADY_EXISTS);
static_assert(CODE_INTERRUPTED == WSAEINTR);
static_assert(CODE_WRITE_FAULT == ERROR_WRITE_FAULT);
static_assert(CODE_GEN_FAILURE == ERROR_GEN_FAILURE);
static_assert(CODE_SHARING_VIOLATION == ERROR_SHARING_VIOLATION);
static_assert(CODE_LOCK_VIOLATION == ERROR_LOCK_VIOLATION);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

class Win32Files final : public Files {
 public:
  std::optional<std::u16string> GetEnvironmentVariableW(const std::u16string& name) override {
    std::u16string value(256, u'\0');
    for (;;) {
      // An empty value also gives 0; only the last error tells it from a missing variable.
      ::SetLastError(0);
      DWORD n = ::GetEnvironmentVariableW(wide(name), reinterpret_cast<wchar_t*>(value.data()),
                                          static_cast<DWORD>(value.size()));
      if (n == 0) {
        if (::GetLastError() != 0) return std::nullopt;
        return std::u16string{};
      }
      if (n < value.size()) {
        value.resize(n);
        return value;
      }
      // Too small: n is the size needed, NUL included. Ask again, as the value may change.
      value.assign(n, u'\0');
    }
  }

  SysStatus CreateDirectoryW(const std::u16string& path) override {
    if (::CreateDirectoryW(wide(path), nullptr)) return {};
    return last_failure();
  }

  bool is_folder(const std::u16string& path) override {
    DWORD attributes = ::GetFileAttributesW(wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A link (or junction): these attributes are the link's own. Opening it reaches the target.
    UniqueHandle target(*this, ::CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!target) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(target.get(), &info)) return false;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  SysResult<UniqueHandle> CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                      std::uint32_t share_mode,
                                      std::uint32_t creation_disposition) override {
    HANDLE h = ::CreateFileW(wide(path), desired_access, share_mode, nullptr, creation_disposition, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_failure();
    return UniqueHandle(*this, h);
  }

  SysResult<std::size_t> NtWriteFile(Handle file, std::string_view bytes) override {
    // ULONG is 32 bits: a longer run is offered in part, and the caller writes the rest.
    ULONG length = bytes.size() > std::numeric_limits<ULONG>::max() ? std::numeric_limits<ULONG>::max()
                                                                    : static_cast<ULONG>(bytes.size());
    IO_STATUS_BLOCK io{};
    io.Status = static_cast<NTSTATUS>(STATUS_PENDING);
    NTSTATUS status = ::NtWriteFile(file, nullptr, nullptr, nullptr, &io, const_cast<char*>(bytes.data()),
                                    length, nullptr, nullptr);
    if (status == static_cast<NTSTATUS>(STATUS_PENDING)) {
      // Not expected from a handle opened for synchronous I/O, but if it happens the system
      // still owns `io` and the buffer: wait on the file for the completion before leaving.
      if (::WaitForSingleObject(file, INFINITE) != WAIT_OBJECT_0) {
        // Returning now would let the system write into a stack frame that is gone.
        std::abort();
      }
      status = io.Status;
    }
    if (!NT_SUCCESS(status)) {
      // An NTSTATUS, not a last error: translate it. A status with no Win32 code gives 0,
      // which SysError turns into a failure code like any other.
      return fail(SysError(::RtlNtStatusToDosError(status)));
    }
    return static_cast<std::size_t>(io.Information);
  }

  void CloseHandle(Handle h) override { ::CloseHandle(h); }

  std::int64_t GetSystemTimePreciseAsFileTime() override {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks);  // two's complement, as the signed scale wants
  }

  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  SysResult<std::int64_t> QueryPerformanceCounter() override {
    LARGE_INTEGER value{};
    if (!::QueryPerformanceCounter(&value)) return last_failure();
    return static_cast<std::int64_t>(value.QuadPart);
  }

  SysResult<std::int64_t> QueryPerformanceFrequency() override {
    LARGE_INTEGER value{};
    if (!::QueryPerformanceFrequency(&value)) return last_failure();
    return static_cast<std::int64_t>(value.QuadPart);
  }
};

}  // namespace

Files& win32_files() {
  static auto& files = *new Win32Files;
  return files;
}

}  // namespace quolin::platform
