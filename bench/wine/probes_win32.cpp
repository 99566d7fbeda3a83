#include "probes.h"

#include "platform/files.h"
#include "platform/owned.h"
#include "platform/windows_headers.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quolin::probes {

namespace {

constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH_CODE = static_cast<NTSTATUS>(0xC0000004);

std::optional<std::uint32_t> handles_in_system_table() {
  std::vector<std::uint64_t> buffer(4096);  // 8-byte units keep the entries aligned
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof buffer[0]);
    NTSTATUS status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(), size, &needed);
    if (status == STATUS_INFO_LENGTH_MISMATCH_CODE) {
      // The table can grow between two calls: ask for more than was needed.
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof buffer[0] * 2));
      continue;
    }
    if (status < 0) return std::nullopt;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    const DWORD own = GetCurrentProcessId();
    std::uint32_t count = 0;
    for (ULONG i = 0; i < table->Count; ++i) count += table->Handle[i].OwnerPid == own;
    return count;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> own_handle_count() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return static_cast<std::uint32_t>(count);
  return handles_in_system_table();
}

bool set_environment_variable(const std::u16string& name, const std::u16string& value) {
  const std::wstring wide_name(name.begin(), name.end());
  const std::wstring wide_value(value.begin(), value.end());
  return SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str()) != FALSE;
}

bool set_file_size(const std::u16string& path, std::uint64_t size) {
  const std::wstring wide_path(path.begin(), path.end());
  platform::UniqueHandle file(
      platform::win32_files(),
      CreateFileW(wide_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

}  // namespace quolin::probes
