#include "hosts/host_identity.h"

#include "platform/windows_headers.h"

namespace quolin::hosts {

std::wstring own_executable_path() {
  std::wstring path(512, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring own_command_line() { return GetCommandLineW(); }

std::uint32_t own_process_id() { return GetCurrentProcessId(); }

}  // namespace quolin::hosts
