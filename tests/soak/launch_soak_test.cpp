// The launcher over the real Win32 calls, cycled: every launch, poll and release must give back
// every handle it took. fake_quolin.exe sits beside this executable as quolin.exe.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "launch_cycles.h"
#include "launcher/host_path.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/text.h"
#include "probes.h"
#include "supervisor/host_watch.h"

namespace quolin {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t WARM_UP_CYCLES = 3;  // one of each kind
constexpr std::uint32_t CYCLES = 51;

fs::path host_folder(const std::string& host_path) {
  const std::u16string wide = platform::utf16_from_wtf8(host_path);
  return fs::path(std::wstring(wide.begin(), wide.end())).parent_path();
}

void remove_host_files(const fs::path& folder) {
  for (const char* stale : {"quolin-launches.txt", "quolin-crash.txt", "quolin-script.txt"}) {
    std::error_code ignored;
    fs::remove(folder / stale, ignored);
  }
}

// The soak's verdict rests on the count: it must move when a handle is opened and closed.
TEST(LaunchSoak, HandleCountFollowsAnOpenAndACloseOfOneHandle) {
  platform::Files& files = platform::win32_files();
  const std::optional<std::uint32_t> before = probes::own_handle_count();
  ASSERT_TRUE(before.has_value());
  ASSERT_GT(*before, 0u);
  {
    const fs::path file = fs::temp_directory_path() / "quolin-soak-probe.txt";
    const std::wstring wide = file.wstring();
    Result<platform::Handle, std::uint32_t> opened =
        files.CreateFileW(std::u16string(wide.begin(), wide.end()), platform::FILE_APPEND_ONLY_ACCESS,
                          platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS);
    ASSERT_TRUE(opened.ok());
    platform::UniqueHandle handle(files, opened.value());
    EXPECT_EQ(probes::own_handle_count(), *before + 1);
  }
  EXPECT_EQ(probes::own_handle_count(), before);
}

TEST(LaunchSoak, CyclesOfTheRealLauncherLeaveTheHandleCountUnchanged) {
  platform::Processes& api = platform::win32_processes();
  const std::string host_path = resolve_host_path(api);
  const fs::path folder = host_folder(host_path);
  remove_host_files(folder);
  ServiceHostLauncher launcher(api, host_path);

  soak::CycleTally warm_up;
  soak::run_launch_cycles(launcher, folder, 0, WARM_UP_CYCLES, warm_up);
  ASSERT_EQ(warm_up.first_problem, "");
  ASSERT_EQ(warm_up.launch_failures, 0u) << warm_up.first_launch_failure;
  const std::optional<std::uint32_t> before = probes::own_handle_count();
  ASSERT_TRUE(before.has_value());

  soak::CycleTally tally;
  soak::run_launch_cycles(launcher, folder, 0, CYCLES, tally);
  const std::optional<std::uint32_t> after = probes::own_handle_count();

  EXPECT_EQ(tally.first_problem, "");
  // Wine on a loaded machine now and then fails a process start inside CreateProcessAsUserW
  // (ERROR_INTERNAL_ERROR); one such cycle still has to give back its handles, more is a fault.
  EXPECT_LE(tally.launch_failures, 1u) << tally.first_launch_failure;
  EXPECT_EQ(tally.launched + tally.launch_failures, CYCLES);
  EXPECT_EQ(tally.released_at_once + tally.released_running + tally.exited_by_itself, tally.launched);
  for (std::uint32_t ended : {tally.released_at_once, tally.released_running, tally.exited_by_itself}) {
    EXPECT_GE(ended, CYCLES / 3 - tally.launch_failures);
  }
  EXPECT_EQ(after, before);
  remove_host_files(folder);
}

}  // namespace
}  // namespace quolin
