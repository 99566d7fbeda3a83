#include "supervisor/host_watch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <variant>

#include "fakes/fake_processes.h"

namespace quolin {
namespace {

using fakes::Calls;
using fakes::FakeProcesses;

HostProcess launch_one(SessionLauncher& launcher) {
  LaunchOutcome outcome = launcher.launch();
  EXPECT_TRUE(std::holds_alternative<Launched>(outcome));
  return std::move(std::get<Launched>(outcome).host);
}

TEST(PollExit, RunningHostIsAskedWithoutWaiting) {
  FakeProcesses api;
  SessionLauncher launcher(api, "C:\\q\\quolin.exe");
  HostProcess host = launch_one(launcher);
  api.calls.clear();

  EXPECT_EQ(poll_exit(api, host), std::nullopt);
  EXPECT_EQ(api.calls, Calls{"WaitForSingleObject(process1, 0)"});
  launcher.release(std::move(host));
}

TEST(PollExit, OnlyASignalledHandleCountsAsExited) {
  // Time-out, failure and anything unexpected all mean "still running".
  for (std::uint32_t answer : {0x102u, 0xFFFFFFFFu, 0x80u, 1u}) {
    SCOPED_TRACE(answer);
    FakeProcesses api;
    SessionLauncher launcher(api, "C:\\q\\quolin.exe");
    HostProcess host = launch_one(launcher);
    api.exit_process(host.handle.get(), 3);
    api.answer_waits_with(answer);
    api.calls.clear();

    EXPECT_EQ(poll_exit(api, host), std::nullopt);
    EXPECT_EQ(api.calls, Calls{"WaitForSingleObject(process1, 0)"});
    launcher.release(std::move(host));
  }
}

TEST(PollExit, ExitedHostGivesItsExitCode) {
  for (std::uint32_t code : {0u, 7u, 0xC0000005u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(code);
    FakeProcesses api;
    SessionLauncher launcher(api, "C:\\q\\quolin.exe");
    HostProcess host = launch_one(launcher);
    api.exit_process(host.handle.get(), code);
    api.calls.clear();

    std::optional<HostExit> exit = poll_exit(api, host);

    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(exit->code, code);
    EXPECT_EQ(api.calls, (Calls{"WaitForSingleObject(process1, 0)", "GetExitCodeProcess(process1)"}));
    EXPECT_EQ(api.exit_code_presets, std::vector<std::uint32_t>{0});
    launcher.release(std::move(host));
  }
}

TEST(PollExit, UnreadableExitCodeIsAnExitWithoutCode) {
  FakeProcesses api;
  SessionLauncher launcher(api, "C:\\q\\quolin.exe");
  HostProcess host = launch_one(launcher);
  api.exit_process(host.handle.get(), 9);
  api.fail_get_exit_code(5);
  api.calls.clear();

  std::optional<HostExit> exit = poll_exit(api, host);

  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->code, std::nullopt);
  EXPECT_EQ(api.calls,
            (Calls{"WaitForSingleObject(process1, 0)", "GetExitCodeProcess(process1)", "GetLastError"}));
  launcher.release(std::move(host));
}

TEST(PerformanceCounterClock, ScalesTheCounterToSecondsAndNanoseconds) {
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t frequency;
    std::int64_t counter;
    std::uint64_t secs;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {10'000'000, 0, 0, 0},
      {10'000'000, 12'345'678, 1, 234'567'800},
      {10'000'000, 9'999'999, 0, 999'999'900},
      {10'000'000, MAX, 922'337'203'685, 477'580'700},
      {3'000'000'000, 3'000'000'001, 1, 0},             // a third of a nanosecond rounds down
      {3'000'000'000, 4'500'000'000, 1, 500'000'000},
      {3'000'000'000, 2'999'999'999, 0, 999'999'999},
      {3'000'000'000, MAX, 3'074'457'345, 618'258'602},
      {1'000'000'000, 1'234'567'890'123, 1'234, 567'890'123},
      {1, MAX, static_cast<std::uint64_t>(MAX), 0},
      // A counter faster than 18 GHz: the remainder times 10^9 no longer fits in 64 bits.
      {MAX, MAX - 1, 0, 999'999'999},
      {40'000'000'000, 39'999'999'999, 0, 999'999'999},
      {40'000'000'000, 60'000'000'000, 1, 500'000'000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frequency << " Hz, count " << c.counter);
    FakeProcesses api;
    api.performance_frequency = c.frequency;
    api.performance_counter = c.counter;
    PerformanceCounterClock clock(api);

    Instant now = clock.now();

    EXPECT_EQ(now.since_origin.secs, c.secs);
    EXPECT_EQ(now.since_origin.nanos, c.nanos);
  }
}

TEST(PerformanceCounterClock, ReadsTheFrequencyOnceAndTheCounterEachTime) {
  FakeProcesses api;
  api.performance_frequency = 10'000'000;
  PerformanceCounterClock clock(api);
  api.performance_counter = 10'000'000;
  Instant first = clock.now();
  api.performance_counter = 25'000'000;
  Instant second = clock.now();

  EXPECT_EQ(second.saturating_since(first), Duration::from_millis(1500));
  EXPECT_EQ(api.calls, (Calls{"QueryPerformanceFrequency", "QueryPerformanceCounter", "QueryPerformanceCounter"}));
}

TEST(ServiceHostLauncher, LaunchesPollsAndReleasesThroughOnePlatform) {
  FakeProcesses api;
  ServiceHostLauncher service_launcher(api, "C:\\Quolin\\quolin.exe");
  HostLauncher& launcher = service_launcher;

  LaunchOutcome outcome = launcher.launch();
  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  HostProcess host = std::move(std::get<Launched>(outcome).host);
  EXPECT_EQ(api.create_process_calls.at(0).application_name, std::u16string(u"C:\\Quolin\\quolin.exe") + u'\0');
  EXPECT_EQ(launcher.poll_exit(host), std::nullopt);
  api.exit_process(host.handle.get(), 42);
  std::optional<HostExit> exit = launcher.poll_exit(host);
  ASSERT_TRUE(exit.has_value());
  EXPECT_EQ(exit->code, 42u);

  launcher.release(std::move(host));

  EXPECT_TRUE(api.open_objects().empty());
  EXPECT_EQ(api.closes("process1"), 1);
  EXPECT_TRUE(api.problems().empty());
}

}  // namespace
}  // namespace quolin
