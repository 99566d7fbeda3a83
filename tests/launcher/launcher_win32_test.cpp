// The launcher over the real Win32 calls, where the end-to-end scenarios cannot look. The build
// places fake_quolin.exe beside this executable as quolin.exe (see tests/hosts/fake_quolin.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <variant>

#include "launcher/host_path.h"
#include "launcher/session_launcher.h"
#include "launcher/system_error_text.h"
#include "platform/processes.h"
#include "platform/text.h"
#include "platform/windows_headers.h"

namespace quolin {
namespace {

namespace fs = std::filesystem;

platform::Processes& api() { return platform::win32_processes(); }

// A host that has exited keeps its own code; one released while it runs (here, still starting)
// ends with code 1. Either way the launcher's handle is closed.
TEST(LauncherOnWindows, ReleaseEndsTheHostWithCodeOneAndClosesItsHandle) {
  const std::string host_path = resolve_host_path(api());
  const std::u16string folder = platform::utf16_from_wtf8(host_path.substr(0, host_path.rfind('\\')));
  const fs::path dir(std::wstring(folder.begin(), folder.end()));
  fs::remove(dir / "quolin-launches.txt");
  std::ofstream(dir / "quolin-script.txt") << "exit 5 after 0\nrun\n";
  SessionLauncher launcher(api(), host_path);

  for (std::uint32_t ends_with : {5u, 1u}) {
    SCOPED_TRACE(ends_with);
    LaunchOutcome outcome = launcher.launch();
    ASSERT_TRUE(std::holds_alternative<Launched>(outcome)) << std::get<LaunchFailed>(outcome).text;
    HostProcess host = std::move(std::get<Launched>(outcome).host);
    HANDLE watcher = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, host.pid);
    ASSERT_NE(watcher, nullptr);
    if (ends_with == 5) {
      ASSERT_EQ(::WaitForSingleObject(watcher, 60000), WAIT_OBJECT_0);
    }
    platform::Handle released = host.handle.get();

    launcher.release(std::move(host));

    EXPECT_EQ(::WaitForSingleObject(released, 0), WAIT_FAILED);  // the handle is gone
    DWORD code = 0;
    EXPECT_EQ(::WaitForSingleObject(watcher, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(watcher, &code) && code == ends_with) << code;
    ::CloseHandle(watcher);
  }
}

// The wording is the system's own (Wine's differs from Windows'): only the shape is checked;
// how it is trimmed is the native failure table's.
TEST(SystemErrorTextOnWindows, TheSystemsWordingThenTheHexForm) {
  EXPECT_NE(system_error_text(api(), 5), "0x80070005");  // the system has a text for this one
  for (auto [error, hex] : {std::pair{5u, "0x80070005"}, {0xD0000022u, "0xD0000022"}}) {
    const std::string text = system_error_text(api(), error);  // or, with no text, the hex form alone
    EXPECT_TRUE(text == hex || (text.ends_with(std::string(" (") + hex + ")") && text.size() > 13)) << text;
  }
}

}  // namespace
}  // namespace quolin
