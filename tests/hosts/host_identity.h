// What the fake host learns about itself from Windows; the rest of it is plain C++.
#pragma once

#include <cstdint>
#include <string>

namespace quolin::hosts {

std::wstring own_executable_path();  // GetModuleFileNameW of the running executable
std::wstring own_command_line();     // GetCommandLineW: the command line exactly as given
std::uint32_t own_process_id();      // GetCurrentProcessId

}  // namespace quolin::hosts
