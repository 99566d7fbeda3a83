// The launcher against the real platform, under Wine or Windows. The build places
// fake_quolin.exe beside this executable as quolin.exe (its contract: tests/hosts/fake_quolin.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "fakes/recording_line_writer.h"
#include "launcher/host_path.h"
#include "launcher/open_process.h"
#include "launcher/session_launcher.h"
#include "launcher/system_error_text.h"
#include "platform/processes.h"
#include "platform/text.h"
#include "supervisor/host_watch.h"
#include "supervisor/supervisor.h"

namespace quolin {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t WAIT_OBJECT_0 = 0;
constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFF;
constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
// Only a guard against a hang: nothing here is expected to take more than a fraction of it.
constexpr auto HANG_GUARD = std::chrono::seconds(60);

platform::Processes& api() { return platform::win32_processes(); }

// This executable's folder, read without the launcher's own path code.
std::u16string own_folder() {
  std::u16string path(32768, u'\0');
  std::uint32_t n = api().GetModuleFileNameW(nullptr, path.data(), static_cast<std::uint32_t>(path.size()));
  path.resize(n);
  return path.substr(0, path.find_last_of(u"\\/"));
}

fs::path as_fs_path(const std::u16string& path) { return fs::path(std::wstring(path.begin(), path.end())); }

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

HostProcess take_host(LaunchOutcome outcome) {
  if (auto* failed = std::get_if<LaunchFailed>(&outcome)) ADD_FAILURE() << "launch failed: " << failed->text;
  if (std::holds_alternative<NoActiveSession>(outcome)) ADD_FAILURE() << "launch found no console session";
  if (auto* launched = std::get_if<Launched>(&outcome)) return std::move(launched->host);
  return HostProcess{platform::UniqueHandle(api()), 0};
}

std::optional<HostExit> poll_until_exited(const HostProcess& host) {
  const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
  while (std::chrono::steady_clock::now() < give_up) {
    if (std::optional<HostExit> exit = poll_exit(api(), host)) return exit;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "host pid=" << host.pid << " did not exit";
  return std::nullopt;
}

// A folder holding quolin.exe and its script; every test starts with no launch recorded.
class HostFolder : public ::testing::Test {
 protected:
  void SetUp() override { use_folder(own_folder()); }

  void use_folder(std::u16string folder) {
    folder_ = std::move(folder);
    std::error_code ignored;
    fs::remove(dir() / "quolin-launches.txt", ignored);
    fs::remove(dir() / "quolin-crash.txt", ignored);
  }

  fs::path dir() const { return as_fs_path(folder_); }
  std::string host_path() const { return platform::wtf8_from_utf16(folder_ + u"\\quolin.exe"); }

  void script(const std::string& lines) { write_file(dir() / "quolin-script.txt", lines); }

  std::vector<std::string> launches() const {
    std::vector<std::string> lines;
    std::string text = read_file(dir() / "quolin-launches.txt");
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  // The host writes its line as it starts, a moment after launch() returned.
  std::vector<std::string> await_launches(std::size_t count) const {
    const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
    std::vector<std::string> lines = launches();
    while (lines.size() < count && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      lines = launches();
    }
    return lines;
  }

  std::u16string folder_;
};

using LauncherOnWindows = HostFolder;

TEST_F(LauncherOnWindows, HostPathNamesThisExecutablesFolder) {
  EXPECT_EQ(resolve_host_path(api()), host_path());
  EXPECT_TRUE(fs::exists(as_fs_path(folder_ + u"\\quolin.exe")));
}

TEST_F(LauncherOnWindows, LaunchedHostRunsWithItsPathAsCommandLineUntilReleased) {
  script("run\n");
  SessionLauncher launcher(api(), resolve_host_path(api()));

  HostProcess host = take_host(launcher.launch());
  ASSERT_TRUE(host.handle);
  EXPECT_NE(host.pid, 0u);

  std::vector<std::string> lines = await_launches(1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "launch=1 pid=" + std::to_string(host.pid) + " cmdline=" + host_path());
  EXPECT_EQ(poll_exit(api(), host), std::nullopt);  // `run` never ends by itself
  launcher.release(std::move(host));
}

TEST_F(LauncherOnWindows, PollExitGivesEachExitCodeOnceTheHostEnds) {
  script("exit 7 after 100\nexit 4294967295 after 0\nexit 0 after 0\n");
  SessionLauncher launcher(api(), host_path());

  for (std::uint32_t code : {7u, 0xFFFFFFFFu, 0u}) {
    SCOPED_TRACE(code);
    HostProcess host = take_host(launcher.launch());
    ASSERT_TRUE(host.handle);
    std::optional<HostExit> exit = poll_until_exited(host);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->code, code);
    launcher.release(std::move(host));
  }
  EXPECT_EQ(launches().size(), 3u);
}

TEST_F(LauncherOnWindows, ReleaseEndsARunningHostWithExitCodeOneAndClosesItsHandle) {
  script("run\n");
  SessionLauncher launcher(api(), host_path());
  HostProcess host = take_host(launcher.launch());
  ASSERT_TRUE(host.handle);
  platform::UniqueHandle watcher(api(), testing_support::open_process_to_watch(host.pid));
  ASSERT_TRUE(watcher);
  platform::Handle released = host.handle.get();

  launcher.release(std::move(host));

  EXPECT_EQ(api().WaitForSingleObject(released, 0), WAIT_FAILED);  // the handle is gone
  EXPECT_EQ(api().GetLastError(), ERROR_INVALID_HANDLE);
  HostProcess seen{std::move(watcher), 0};
  std::optional<HostExit> exit = poll_until_exited(seen);
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->code, 1u);
}

TEST_F(LauncherOnWindows, ReleaseOfAnExitedHostStillClosesItsHandle) {
  script("exit 5 after 0\n");
  SessionLauncher launcher(api(), host_path());
  HostProcess host = take_host(launcher.launch());
  ASSERT_TRUE(host.handle);
  std::optional<HostExit> exit = poll_until_exited(host);
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->code, 5u);
  platform::Handle released = host.handle.get();

  // TerminateProcess on an ended process fails on Windows and succeeds on Wine; either way the
  // handle must be closed.
  launcher.release(std::move(host));

  EXPECT_EQ(api().WaitForSingleObject(released, 0), WAIT_FAILED);
  EXPECT_EQ(api().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LauncherOnWindows, PathWithSpacesGoesUnquotedAsTheWholeCommandLine) {
  std::u16string spaced = own_folder() + u"\\host dir with spaces";
  fs::create_directories(as_fs_path(spaced));
  // Removed first: MinGW's copy_file refuses to overwrite even when told to.
  fs::remove(as_fs_path(spaced + u"\\quolin.exe"));
  fs::copy_file(as_fs_path(own_folder() + u"\\quolin.exe"), as_fs_path(spaced + u"\\quolin.exe"));
  use_folder(spaced);
  script("exit 0 after 0\n");
  SessionLauncher launcher(api(), host_path());

  HostProcess host = take_host(launcher.launch());
  ASSERT_TRUE(host.handle);
  std::uint32_t pid = host.pid;
  ASSERT_TRUE(poll_until_exited(host).has_value());
  launcher.release(std::move(host));

  EXPECT_EQ(launches(), std::vector<std::string>{"launch=1 pid=" + std::to_string(pid) + " cmdline=" + host_path()});
}

TEST_F(LauncherOnWindows, MissingHostFailsInCreateProcessWithFileNotFound) {
  SessionLauncher launcher(api(), platform::wtf8_from_utf16(folder_ + u"\\no-such-host.exe"));

  LaunchOutcome outcome = launcher.launch();

  ASSERT_TRUE(std::holds_alternative<LaunchFailed>(outcome));
  const std::string& text = std::get<LaunchFailed>(outcome).text;
  EXPECT_EQ(text.rfind("CreateProcessAsUserW: ", 0), 0u) << text;
  EXPECT_TRUE(text == "CreateProcessAsUserW: 0x80070002" || text.ends_with(" (0x80070002)")) << text;
}

// The parts of fake_quolin's contract that the tests above do not already lean on.
TEST_F(LauncherOnWindows, FakeHostCrashesOnRequestAndRefusesABadScriptLine) {
  script("run\nexit seven after 100\n");
  SessionLauncher launcher(api(), host_path());

  HostProcess running = take_host(launcher.launch());
  ASSERT_TRUE(running.handle);
  ASSERT_EQ(await_launches(1).size(), 1u);
  write_file(dir() / "quolin-crash.txt", "");
  std::optional<HostExit> crash = poll_until_exited(running);
  ASSERT_TRUE(crash.has_value());
  EXPECT_EQ(crash->code, 3u);
  EXPECT_FALSE(fs::exists(dir() / "quolin-crash.txt"));
  launcher.release(std::move(running));

  HostProcess refusing = take_host(launcher.launch());
  ASSERT_TRUE(refusing.handle);
  std::optional<HostExit> refusal = poll_until_exited(refusing);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(refusal->code, 0xBADu);
  launcher.release(std::move(refusing));
  EXPECT_EQ(launches().size(), 2u);
}

TEST_F(LauncherOnWindows, SupervisorRelaunchesACrashedHostThroughTheRealLauncher) {
  script("exit 3 after 0\nrun\n");
  ServiceHostLauncher launcher(api(), resolve_host_path(api()));
  PerformanceCounterClock clock(api());
  fakes::RecordingLineWriter log;
  std::optional<std::uint32_t> first_pid;
  std::optional<std::uint32_t> second_pid;
  {
    Supervisor supervisor(launcher, clock, log);
    ASSERT_TRUE(supervisor.start().ok());
    first_pid = supervisor.host_pid();
    ASSERT_TRUE(first_pid.has_value());

    // The run loop's quiet polls: the crash is seen, then the re-spawn runs once its 1 s is up.
    const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
    while (std::chrono::steady_clock::now() < give_up &&
           !(supervisor.holds_host() && supervisor.host_pid() != first_pid)) {
      ASSERT_TRUE(supervisor.on_poll_timeout().ok());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    second_pid = supervisor.host_pid();
    ASSERT_TRUE(second_pid.has_value());
    ASSERT_NE(second_pid, first_pid);
    platform::UniqueHandle watcher(api(), testing_support::open_process_to_watch(*second_pid));
    ASSERT_TRUE(watcher);
    // Let the second host record its launch before it is ended.
    ASSERT_EQ(await_launches(2).size(), 2u);

    ASSERT_TRUE(supervisor.shut_down().ok());

    HostProcess seen{std::move(watcher), 0};
    std::optional<HostExit> exit = poll_until_exited(seen);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->code, 1u);
  }

  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "spawned user-session host at service start",
                             "user-session host pid=" + std::to_string(*first_pid) +
                                 " exited (code=0x00000003 (3), consecutive_crashes=1)",
                             "scheduled re-spawn in 1000 ms",
                             "re-spawned user-session host (attempt 1/5)",
                             "terminated user-session host pid=" + std::to_string(*second_pid),
                         }));
  std::vector<std::string> lines = launches();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("launch=1 pid=" + std::to_string(*first_pid) + " ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("launch=2 pid=" + std::to_string(*second_pid) + " ", 0), 0u) << lines[1];
}

TEST(SystemErrorTextOnWindows, EndsInTheHexFormOfTheResultCode) {
  // The wording is the system's own (Wine's differs from Windows'): only the shape is checked.
  struct Case {
    std::uint32_t error;
    const char* hex;
  };
  const Case cases[] = {{0, "0x00000000"}, {2, "0x80070002"}, {5, "0x80070005"}, {0xD0000022, "0xD0000022"}};
  for (const Case& c : cases) {
    std::string text = system_error_text(api(), c.error);
    SCOPED_TRACE(text);
    std::string hex = c.hex;
    if (text != hex) {
      ASSERT_TRUE(text.ends_with(" (" + hex + ")"));
      std::string message = text.substr(0, text.size() - hex.size() - 3);
      ASSERT_FALSE(message.empty());
      EXPECT_EQ(std::string(" \t\r\n\v\f").find(message.back()), std::string::npos);  // trimmed
    }
  }
}

TEST(PerformanceCounterClockOnWindows, NeverGoesBackwards) {
  PerformanceCounterClock clock(api());
  Instant previous = clock.now();
  EXPECT_NE(previous, Instant{});
  for (int i = 0; i < 10000; ++i) {
    Instant now = clock.now();
    ASSERT_GE(now, previous);
    ASSERT_LT(now.since_origin.nanos, NANOS_PER_SEC);
    previous = now;
  }
}

}  // namespace
}  // namespace quolin
