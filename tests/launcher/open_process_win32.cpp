#include "launcher/open_process.h"

#include "platform/windows_headers.h"

namespace quolin::testing_support {

platform::Handle open_process_to_watch(std::uint32_t pid) {
  return OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
}

}  // namespace quolin::testing_support
