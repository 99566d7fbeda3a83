// exit_watch.exe PID: tells how another process ends, for end-to-end checks of how the service
// ends its host.
//
// Opens the process at once and prints "watching PID" (so the caller knows the handle is held
// and the exit code cannot be lost), then waits for it and prints "exit=CODE" in decimal.
// Exit status 0 when it saw the end, 2 when it could not open or wait.
#include <cstdio>
#include <cstdlib>

#include "platform/windows_headers.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: exit_watch PID\n");
    return 2;
  }
  DWORD pid = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    std::fprintf(stderr, "OpenProcess(%lu) failed: %lu\n", static_cast<unsigned long>(pid),
                 static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  std::printf("watching %lu\n", static_cast<unsigned long>(pid));
  std::fflush(stdout);
  DWORD code = 0;
  bool ok = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  CloseHandle(process);
  if (!ok) return 2;
  std::printf("exit=%lu\n", static_cast<unsigned long>(code));
  return 0;
}
