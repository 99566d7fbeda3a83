#include "platform/files.h"

#include <cstdio>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/windows_headers.h"

#include <sddl.h>
#include <winternl.h>

// winternl.h declares neither NtWriteFile nor its parameter list; this is ntdll's export.
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                      ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);

namespace quolin::platform {

static_assert(FILE_APPEND_ONLY_ACCESS == (FILE_GENERIC_WRITE & ~static_cast<DWORD>(FILE_WRITE_DATA)));
static_assert(FILE_SHARE_ALL == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
static_assert(DISPOSITION_OPEN_ALWAYS == OPEN_ALWAYS);
static_assert(DISPOSITION_OPEN_EXISTING == OPEN_EXISTING);
static_assert(FILE_SHARE_READ_WRITE == (FILE_SHARE_READ | FILE_SHARE_WRITE));
static_assert(ACCESS_DELETE == DELETE);
static_assert(ACCESS_READ_ATTRIBUTES == FILE_READ_ATTRIBUTES);
static_assert(FLAG_OPEN_REPARSE_POINT == FILE_FLAG_OPEN_REPARSE_POINT);
static_assert(FLAG_BACKUP_SEMANTICS == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(ACCESS_INSPECT == (READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY));
static_assert(ATTRIBUTE_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY);
static_assert(ATTRIBUTE_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(RIGHTS_THAT_CHANGE == (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL |
                                     GENERIC_WRITE));
static_assert(CODE_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(CODE_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(CODE_ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(CODE_INVALID_DRIVE == ERROR_INVALID_DRIVE);
static_assert(CODE_BAD_NETPATH == ERROR_BAD_NETPATH);
static_assert(CODE_BAD_NET_NAME == ERROR_BAD_NET_NAME);
static_assert(CODE_FILE_EXISTS == ERROR_FILE_EXISTS);
static_assert(CODE_ALREADY_EXISTS == ERROR_ALREADY_EXISTS);
static_assert(CODE_INTERRUPTED == WSAEINTR);
static_assert(CODE_WRITE_FAULT == ERROR_WRITE_FAULT);
static_assert(CODE_GEN_FAILURE == ERROR_GEN_FAILURE);
static_assert(CODE_SHARING_VIOLATION == ERROR_SHARING_VIOLATION);
static_assert(CODE_LOCK_VIOLATION == ERROR_LOCK_VIOLATION);
static_assert(CODE_DELETE_PENDING == ERROR_DELETE_PENDING);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// Memory the system handed out with LocalAlloc, freed once.
struct LocalFreeDeleter {
  void operator()(void* p) const { ::LocalFree(p); }
};

// "S-1-5-18" and the like, as ConvertSidToStringSidW writes it but without its allocation (this
// runs for every log line); nullopt for a SID that is not valid.
std::optional<std::string> sid_text(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return std::nullopt;
  const SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
  std::uint64_t value = 0;
  for (BYTE part : authority->Value) value = (value << 8) | part;
  char text[24];
  std::string out = "S-1-";
  // Authorities of 2^32 and above are written in hexadecimal.
  std::snprintf(text, sizeof text, value >> 32 != 0 ? "0x%012llX" : "%llu", static_cast<unsigned long long>(value));
  out.append(text);
  const BYTE count = *::GetSidSubAuthorityCount(sid);
  for (BYTE i = 0; i < count; ++i) {
    std::snprintf(text, sizeof text, "-%lu", static_cast<unsigned long>(*::GetSidSubAuthority(sid, i)));
    out.append(text);
  }
  return out;
}

// Where the SID of an allowing entry starts; nullptr for a type whose layout is not known here.
PSID allowed_sid(const ACE_HEADER* header) {
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      // The two GUIDs are there only when their flags say so, and the SID follows them.
      const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      const auto* at = reinterpret_cast<const BYTE*>(&ace->ObjectType);
      if ((ace->Flags & ACE_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
      if ((ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
      return const_cast<BYTE*>(at);
    }
    default:
      return nullptr;
  }
}

bool is_allowing(BYTE type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
         type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
         type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE;
}

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

  SysStatus CreateDirectoryW(const std::u16string& path, std::u16string_view sddl) override {
    // Built once: the service only ever asks for the one descriptor.
    if (!descriptor_ || sddl != descriptor_sddl_) {
      PSECURITY_DESCRIPTOR built = nullptr;
      const std::u16string text(sddl);
      if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide(text), SDDL_REVISION_1, &built, nullptr)) {
        return last_failure();
      }
      descriptor_.reset(built);
      descriptor_sddl_ = text;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor_.get(), FALSE};
    if (::CreateDirectoryW(wide(path), &attributes)) return {};
    return last_failure();
  }

  SysResult<std::uint32_t> GetFileAttributesW(const std::u16string& path) override {
    DWORD attributes = ::GetFileAttributesW(wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_failure();
    return static_cast<std::uint32_t>(attributes);
  }

  SysResult<UniqueHandle> CreateFileW(const std::u16string& path, std::uint32_t desired_access,
                                      std::uint32_t share_mode, std::uint32_t creation_disposition,
                                      std::uint32_t flags) override {
    HANDLE h = ::CreateFileW(wide(path), desired_access, share_mode, nullptr, creation_disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_failure();
    return UniqueHandle(*this, h);
  }

  SysResult<FileIdentity> GetFileInformationByHandleEx(Handle file) override {
    // Two small queries rather than GetFileInformationByHandle, which also asks the volume for
    // its serial number: hundreds of microseconds under Wine, on every line.
    FILE_ATTRIBUTE_TAG_INFO attributes{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &attributes, sizeof attributes)) {
      return last_failure();
    }
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) return last_failure();
    return FileIdentity{attributes.FileAttributes, standard.NumberOfLinks};
  }

  SysResult<ObjectSecurity> GetSecurityInfo(Handle object) override {
    // GetKernelObjectSecurity into a buffer of our own: half the cost of GetSecurityInfo under
    // Wine, and no allocation by the system. A descriptor that does not fit is asked again.
    std::vector<BYTE> buffer(512);
    for (;;) {
      DWORD needed = 0;
      if (::GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &needed)) {
        break;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return last_failure();
      buffer.resize(needed);
    }
    PSECURITY_DESCRIPTOR descriptor = buffer.data();
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) return last_failure();
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return last_failure();
    if (!present) dacl = nullptr;  // no access list at all grants everything, as a NULL one does

    ObjectSecurity security;
    security.owner = sid_text(owner).value_or(std::string(UNREADABLE_SID));
    security.has_access_list = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
      void* ace = nullptr;
      if (!::GetAce(dacl, i, &ace)) return last_failure();
      const auto* header = static_cast<const ACE_HEADER*>(ace);
      AccessEntry entry;
      entry.allows = is_allowing(header->AceType);
      // Every ACE type begins with its header and then its mask.
      entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
      entry.sid = (entry.allows ? sid_text(allowed_sid(header)) : std::nullopt).value_or(std::string(UNREADABLE_SID));
      security.entries.push_back(std::move(entry));
    }
    return security;
  }

  SysResult<std::string> process_account_sid() override {
    // The account never changes while the process lives: asked once.
    if (!account_sid_.empty()) return account_sid_;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return last_failure();
    UniqueHandle token(*this, raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) return last_failure();
    std::optional<std::string> text = sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    if (!text) return fail(SysError(ERROR_INVALID_SID));  // IsValidSid sets no last error
    account_sid_ = *text;
    return account_sid_;
  }

  SysStatus SetFileInformationByHandle(Handle file, const std::u16string& new_path) override {
    // The new name must reach ntdll as an NT path: Wine takes neither a bare name (it resolves
    // one against the current folder) nor a RootDirectory handle, and Windows no Win32 path.
    std::wstring nt(new_path.begin(), new_path.end());
    if (!new_path.starts_with(u"\\??\\")) {  // one already is, and GetFullPathNameW would mangle it
      const DWORD needed = ::GetFullPathNameW(wide(new_path), 0, nullptr, nullptr);
      if (needed == 0) return last_failure();
      std::wstring full(needed, L'\0');
      const DWORD length = ::GetFullPathNameW(wide(new_path), needed, full.data(), nullptr);
      if (length == 0 || length >= needed) return last_failure();
      full.resize(length);
      nt = L"\\??\\";
      if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
        nt.append(full, 4);  // already a device path: only the prefix differs
      } else if (full.starts_with(L"\\\\")) {
        nt.append(L"UNC").append(full, 1);  // \\server\share\... becomes \??\UNC\server\share\...
      } else {
        nt.append(full);
      }
    }
    const std::size_t name_bytes = nt.size() * sizeof(wchar_t);
    // FILE_RENAME_INFO ends in a one-element name array: room for the rest after it.
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, nt.data(), name_bytes);
    if (::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return {};
    return last_failure();
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
      // An NTSTATUS, not a last error: translate it (one with no Win32 code gives 317,
      // ERROR_MR_MID_NOT_FOUND; SysError never lets a 0 through either way).
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

 private:
  std::unique_ptr<void, LocalFreeDeleter> descriptor_;
  std::u16string descriptor_sddl_;
  std::string account_sid_;
};

}  // namespace

Files& win32_files() {
  static auto& files = *new Win32Files;
  return files;
}

}  // namespace quolin::platform
