// What the Wine benchmarks and the soak read from Windows that the platform layer has no
// call for, because the service itself never needs it.
//
//   std::optional<std::uint32_t> before = probes::own_handle_count();
//   ... cycles ...
//   std::optional<std::uint32_t> after = probes::own_handle_count();
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quolin::probes {

// How many handles this process holds: GetProcessHandleCount, or, where that call reports none
// (Wine 8 answers 0 for every process), the number of this process's entries in the system's
// handle table (NtQuerySystemInformation). nullopt when neither can be read.
std::optional<std::uint32_t> own_handle_count();

// SetEnvironmentVariableW in this process's environment block, which is where the service log
// reads ProgramData from. False when the call fails.
bool set_environment_variable(const std::u16string& name, const std::u16string& value);

// Sets the file's end to `size` bytes (SetEndOfFile), making the file if it is missing. Growing
// it leaves a hole where the file system allows one, so a 1 GiB log costs no disk. False when
// any call fails.
bool set_file_size(const std::u16string& path, std::uint64_t size);

}  // namespace quolin::probes
