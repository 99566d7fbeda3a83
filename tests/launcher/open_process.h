// A second, independent handle on a process, so a test can see how the process ended after
// the launcher has closed its own handle.
#pragma once

#include <cstdint>

#include "platform/owned.h"

namespace quolin::testing_support {

// OpenProcess for waiting and reading the exit code; null on failure.
platform::Handle open_process_to_watch(std::uint32_t pid);

}  // namespace quolin::testing_support
