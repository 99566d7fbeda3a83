// quolin-service.exe: runs only as the service QuolinHost. The command line is not read.
#include <cstdio>

#include "platform/service_control.h"
#include "service/dispatcher.h"
#include "supervisor/service_main.h"

int main() {
  quolin::EntryResult result =
      quolin::program_entry(quolin::platform::win32_service_control(), &quolin::run_service);
  if (!result.error_output.empty()) {
    std::fwrite(result.error_output.data(), 1, result.error_output.size(), stderr);
    std::fflush(stderr);
  }
  return result.exit_status;
}
