// hold_file.exe PATH MS [SERVICE]: opens PATH for reading without sharing write or delete
// access, as a backup tool or an indexer may, and keeps it for MS milliseconds, or until its
// standard input ends when MS is "-". With SERVICE, it sends SERVICE the stop control meanwhile,
// so that the service's next log line meets the lock at once. Prints "holding" once the file is
// held; exit status 0, or 2 on any failure.
#include <cstdio>
#include <cwchar>

#include "platform/windows_headers.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: hold_file PATH MS|- [SERVICE]\n");
    return 2;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "CreateFileW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  std::printf("holding\n");
  std::fflush(stdout);
  if (argc == 4) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, argv[3], SERVICE_STOP) : nullptr;
    SERVICE_STATUS status{};
    if (service == nullptr || !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
      std::fprintf(stderr, "stop control failed: %lu\n", static_cast<unsigned long>(GetLastError()));
      return 2;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
  }
  if (std::wcscmp(argv[2], L"-") == 0) {
    while (std::getchar() != EOF) {
    }
  } else {
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  }
  CloseHandle(file);
  return 0;
}
