#include "supervisor/supervisor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scenario.h"

namespace quolin::scenario {
namespace {

// U+2014 EM DASH as bytes.
#define EM_DASH "\xE2\x80\x94"

constexpr const char* CLEAN_EXIT_TAIL =
    " ms " EM_DASH
    " assuming another quolin.exe is already running in this session; pausing re-spawn until next "
    "SessionLogon";

std::string clean_exit_line(std::uint32_t pid, const std::string& ms) {
  return "user-session host pid=" + std::to_string(pid) + " exited cleanly in " + ms + CLEAN_EXIT_TAIL;
}

// A host that starts at service start and then crashes (code 1, after 2 s) and is re-spawned
// `times` times, pids first_pid, first_pid + 1, ...; the host that runs at the end has pid
// first_pid + times and consecutive_crashes is `times`.
std::vector<Step> started_then_crashed(std::uint32_t first_pid, std::uint32_t times) {
  static constexpr std::uint64_t DELAY_MS[] = {1000, 2000, 4000, 8000, 30000};
  std::vector<Step> steps = {
      {next_launch_ok(first_pid)},
      {start(), {"spawned user-session host at service start"}},
  };
  for (std::uint32_t n = 1; n <= times; ++n) {
    const std::uint32_t pid = first_pid + n - 1;
    const std::uint64_t delay = DELAY_MS[n <= 5 ? n - 1 : 4];
    steps.push_back({after_ms(2000)});
    steps.push_back({host_exits(1)});
    steps.push_back({poll(),
                     {"user-session host pid=" + std::to_string(pid) +
                          " exited (code=0x00000001 (1), consecutive_crashes=" + std::to_string(n) + ")",
                      "scheduled re-spawn in " + std::to_string(delay) + " ms"}});
    steps.push_back({after_ms(delay)});
    steps.push_back({next_launch_ok(pid + 1)});
    steps.push_back({poll(), {"re-spawned user-session host (attempt " + std::to_string(n) + "/5)"}});
  }
  return steps;
}

std::vector<Step> then(std::vector<Step> first, const std::vector<Step>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

// --- start ---------------------------------------------------------------------------------

TEST(Supervisor, StartWritesOneLinePerLaunchOutcome) {
  struct Case {
    const char* name;
    Event launch;
    const char* line;
    bool holds_host;
  };
  const Case cases[] = {
      {"launched", next_launch_ok(4242), "spawned user-session host at service start", true},
      {"nobody at the console", next_launch_no_session(),
       "no active user session at start " EM_DASH " waiting for logon", false},
      {"launch failed", next_launch_fails("WTSQueryUserToken: The device is not ready. (0x00000015)"),
       "initial spawn failed: WTSQueryUserToken: The device is not ready. (0x00000015)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    // A start without a host is neither retried nor counted: an hour of polls launches nothing.
    h.run({{c.launch}, {start(), {c.line}}, {after_ms(3'600'000)}, {poll()}});
    EXPECT_EQ(h.supervisor.holds_host(), c.holds_host);
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
    EXPECT_FALSE(h.supervisor.respawn_deadline());
    EXPECT_EQ(h.launcher.launch_calls(), 1u);
  }
}

TEST(Supervisor, ReadsTheLaunchInstantRightAfterTheSuccessLine) {
  Harness h;
  h.run({{next_launch_ok(7)}, {start(), {"spawned user-session host at service start"}}});
  EXPECT_EQ(h.journal, (std::vector<std::string>{"launch -> pid 7",
                                                 "line: spawned user-session host at service start",
                                                 "clock read"}));
  EXPECT_EQ(h.supervisor.host_launched_at(), t0());
  EXPECT_EQ(h.supervisor.host_pid(), 7u);
}

// --- crashes and the re-spawn schedule ----------------------------------------------------------

TEST(Supervisor, ReschedulesAfterCrashWithBackoffThenStopsAtTheBudget) {
  Harness h;
  h.run({
      {next_launch_ok(100)},
      {start(), {"spawned user-session host at service start"}},
      {after_ms(10'000)},
      {poll()},  // still running
      {host_exits(1)},
      {poll(), {"user-session host pid=100 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
      {after_ms(999)},
      {poll()},
      {after_ms(1)},
      {next_launch_ok(101)},
      {poll(), {"re-spawned user-session host (attempt 1/5)"}},

      {after_ms(3000)},
      {host_exits(0xC0000005)},
      {poll(), {"user-session host pid=101 exited (code=0xC0000005 (-1073741819), consecutive_crashes=2)",
                "scheduled re-spawn in 2000 ms"}},
      {after_ms(1999)},
      {poll()},
      {after_ms(1)},
      {next_launch_ok(102)},
      {poll(), {"re-spawned user-session host (attempt 2/5)"}},

      {after_ms(59'999)},
      {host_exits(2)},
      {poll(), {"user-session host pid=102 exited (code=0x00000002 (2), consecutive_crashes=3)",
                "scheduled re-spawn in 4000 ms"}},
      {after_ms(3999)},
      {poll()},
      {after_ms(1)},
      {next_launch_ok(103)},
      {poll(), {"re-spawned user-session host (attempt 3/5)"}},

      {after_ms(100)},
      {host_exits(1)},
      {poll(), {"user-session host pid=103 exited (code=0x00000001 (1), consecutive_crashes=4)",
                "scheduled re-spawn in 8000 ms"}},
      {after_ms(7999)},
      {poll()},
      {after_ms(1)},
      {next_launch_ok(104)},
      {poll(), {"re-spawned user-session host (attempt 4/5)"}},

      {after_ms(100)},
      {host_exits(1)},
      {poll(), {"user-session host pid=104 exited (code=0x00000001 (1), consecutive_crashes=5)",
                "scheduled re-spawn in 30000 ms"}},
      {after_ms(29'999)},
      {poll()},
      {after_ms(1)},
      {next_launch_ok(105)},
      {poll(), {"re-spawned user-session host (attempt 5/5)"}},

      {after_ms(100)},
      {host_exits(1)},
      {poll(), {"user-session host pid=105 exited (code=0x00000001 (1), consecutive_crashes=6)",
                "crash budget exceeded (5); pausing re-spawn until next SessionLogon"}},
      {after_ms(30'000)},
      {poll()},
      {after_ms(3'600'000)},
      {poll()},
  });
  EXPECT_EQ(h.launcher.launched(), (std::vector<std::uint32_t>{100, 101, 102, 103, 104, 105}));
  EXPECT_EQ(h.launcher.released(), (std::vector<std::uint32_t>{100, 101, 102, 103, 104, 105}));
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 6u);
  EXPECT_FALSE(h.supervisor.respawn_deadline());
}

TEST(Supervisor, DeadlineIsTheExitInstantPlusTheDelay) {
  Harness h;
  h.run(started_then_crashed(1, 2));
  h.run({{after_ms(1234)}, {host_exits(9)}});
  const Instant exit_seen = h.clock.current();
  h.run({{poll(), {"user-session host pid=3 exited (code=0x00000009 (9), consecutive_crashes=3)",
                   "scheduled re-spawn in 4000 ms"}}});
  EXPECT_EQ(h.supervisor.respawn_deadline(), exit_seen.plus(Duration::from_secs(4)));
}

TEST(Supervisor, CleanExitWindowEndsJustBeforeFiveSeconds) {
  struct Case {
    Duration run;
    std::vector<std::string> lines;
    std::uint32_t count_after;
  };
  // Each host is the re-spawn after one crash, so a clean exit visibly resets the count.
  const Case cases[] = {
      {Duration{0, 0}, {clean_exit_line(2, "0")}, 0},
      {Duration{0, 999'999}, {clean_exit_line(2, "0")}, 0},
      {Duration{1, 500'000}, {clean_exit_line(2, "1000")}, 0},
      {Duration{4, 999'999'999}, {clean_exit_line(2, "4999")}, 0},
      {Duration{5, 0},
       {"user-session host pid=2 exited (code=0x00000000 (0), consecutive_crashes=2)",
        "scheduled re-spawn in 2000 ms"},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("run " + std::to_string(c.run.secs) + "s " + std::to_string(c.run.nanos) + "ns");
    Harness h;
    h.run(started_then_crashed(1, 1));
    h.run({{after(c.run)}, {host_exits(0)}, {poll(), c.lines}});
    EXPECT_EQ(h.supervisor.consecutive_crashes(), c.count_after);
    EXPECT_EQ(h.supervisor.respawn_deadline().has_value(), c.count_after != 0);
  }
}

TEST(Supervisor, CleanEarlyExitPausesUntilTheNextLogon) {
  Harness h;
  h.run({
      {next_launch_ok(30)},
      {start(), {"spawned user-session host at service start"}},
      {after_ms(800)},
      {host_exits(0)},
      {poll(), {clean_exit_line(30, "800")}},
      {after_ms(3'600'000)},
      {poll()},
      {change("SessionUnlock", 2), {"SessionChange: reason=SessionUnlock session_id=2"}},
      {poll()},
      {next_launch_ok(31)},
      {change("SessionLogon", 2),
       {"SessionChange: reason=SessionLogon session_id=2", "spawned user-session host after SessionLogon"}},
  });
  EXPECT_EQ(h.supervisor.host_pid(), 31u);
}

TEST(Supervisor, RunOfSixtySecondsRestartsTheCountAtOne) {
  struct Case {
    std::uint64_t run_ms;
    std::optional<std::uint32_t> code;
    std::vector<std::string> lines;
  };
  // Four crashes before: the host that ends here is pid 5, re-spawned as attempt 4/5.
  const Case cases[] = {
      {60'000, 1,
       {"user-session host pid=5 exited (code=0x00000001 (1), consecutive_crashes=1)",
        "scheduled re-spawn in 1000 ms"}},
      {60'000, 0,
       {"user-session host pid=5 exited (code=0x00000000 (0), consecutive_crashes=1)",
        "scheduled re-spawn in 1000 ms"}},
      {60'000, std::nullopt,
       {"user-session host pid=5 exited (code=<unavailable>, consecutive_crashes=1)",
        "scheduled re-spawn in 1000 ms"}},
      {86'400'000, 0xC0000005,
       {"user-session host pid=5 exited (code=0xC0000005 (-1073741819), consecutive_crashes=1)",
        "scheduled re-spawn in 1000 ms"}},
      {59'999, 1,
       {"user-session host pid=5 exited (code=0x00000001 (1), consecutive_crashes=5)",
        "scheduled re-spawn in 30000 ms"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("run " + std::to_string(c.run_ms) + " ms");
    Harness h;
    h.run(started_then_crashed(1, 4));
    h.run({{after_ms(c.run_ms)}, {HostEnds{c.code}}, {poll(), c.lines}});
  }
}

TEST(Supervisor, StableRunAfterTheBudgetWasSpentStartsOver) {
  Harness h;
  h.run(started_then_crashed(1, 5));  // pid 6 runs as attempt 5/5
  h.run({
      {after_ms(60'000)},
      {host_exits(1)},
      {poll(), {"user-session host pid=6 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
      {after_ms(1000)},
      {next_launch_ok(7)},
      {poll(), {"re-spawned user-session host (attempt 1/5)"}},
  });
}

TEST(Supervisor, UnavailableExitCodeIsACrashEvenAfterAShortRun) {
  for (std::uint64_t run_ms : {0, 10, 4999}) {
    SCOPED_TRACE("run " + std::to_string(run_ms) + " ms");
    Harness h;
    h.run({
        {next_launch_ok(5)},
        {start(), {"spawned user-session host at service start"}},
        {after_ms(run_ms)},
        {host_exits_unavailable()},
        {poll(), {"user-session host pid=5 exited (code=<unavailable>, consecutive_crashes=1)",
                  "scheduled re-spawn in 1000 ms"}},
    });
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 1u);
  }
}

TEST(Supervisor, ExitCodeIsShownInHexAndAsSignedDecimal) {
  struct Case {
    std::uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {0, "0x00000000 (0)"},  // after 6 s, so a crash
      {1, "0x00000001 (1)"},
      {259, "0x00000103 (259)"},
      {0xC0000005, "0xC0000005 (-1073741819)"},
      {0x7FFFFFFF, "0x7FFFFFFF (2147483647)"},
      {0x80000000, "0x80000000 (-2147483648)"},
      {0xFFFFFFFF, "0xFFFFFFFF (-1)"},
      {0xDEADBEEF, "0xDEADBEEF (-559038737)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Harness h;
    h.run({
        {next_launch_ok(4294967295u)},
        {start(), {"spawned user-session host at service start"}},
        {after_ms(6000)},
        {host_exits(c.code)},
        {poll(), {std::string("user-session host pid=4294967295 exited (code=") + c.text +
                      ", consecutive_crashes=1)",
                  "scheduled re-spawn in 1000 ms"}},
    });
  }
}

TEST(Supervisor, RunTimeThatWouldBeNegativeCountsAsZero) {
  Harness h;
  h.run({
      {next_launch_ok(8)},
      {start(), {"spawned user-session host at service start"}},
      {clock_steps_back_ms(10'000)},
      {host_exits(0)},
      {poll(), {clean_exit_line(8, "0")}},
  });
}

// --- session changes ----------------------------------------------------------------------------

TEST(Supervisor, SessionChangeLineShowsReasonAndIdAsReceived) {
  Harness h;
  h.run({
      {change("SessionLock", 0), {"SessionChange: reason=SessionLock session_id=0"}},
      {change("SessionRemoteControl", 4294967295u),
       {"SessionChange: reason=SessionRemoteControl session_id=4294967295"}},
      {change("some future reason", 17), {"SessionChange: reason=some future reason session_id=17"}},
  });
}

TEST(Supervisor, ClassifiesReasonsByContainmentLogonFirst) {
  enum class Class { Logon, Logoff, None };
  struct Case {
    const char* reason;
    Class expected;
  };
  const Case cases[] = {
      {"SessionLogon", Class::Logon},
      {"ConsoleConnect", Class::Logon},
      {"SessionLogoff", Class::Logoff},
      {"ConsoleDisconnect", Class::Logoff},
      {"RemoteConnect", Class::None},
      {"RemoteDisconnect", Class::None},
      {"SessionLock", Class::None},
      {"SessionUnlock", Class::None},
      {"SessionRemoteControl", Class::None},
      {"SessionCreate", Class::None},
      {"SessionTerminate", Class::None},
      // Containment, and the logon test comes first.
      {"xSessionLogonx", Class::Logon},
      {"SessionLogoff/SessionLogon", Class::Logon},
      {"ConsoleDisconnect ConsoleConnect", Class::Logon},
      {"was ConsoleDisconnect", Class::Logoff},
      {"sessionlogon", Class::None},
      {"", Class::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("reason \"") + c.reason + "\"");
    Harness h;
    h.run(started_then_crashed(1, 1));  // pid 2 runs, count 1
    const std::string change_line = std::string("SessionChange: reason=") + c.reason + " session_id=3";
    switch (c.expected) {
      case Class::Logon:
        h.run({{change(c.reason, 3), {change_line, std::string(c.reason) + ": child already running, no-op"}}});
        EXPECT_EQ(h.supervisor.host_pid(), 2u);
        EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
        break;
      case Class::Logoff:
        h.run({{change(c.reason, 3),
                {change_line, std::string(c.reason) + ": cleared child handle (process exits with session)"}}});
        EXPECT_FALSE(h.supervisor.holds_host());
        EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
        break;
      case Class::None:
        h.run({{change(c.reason, 3), {change_line}}});
        EXPECT_EQ(h.supervisor.host_pid(), 2u);
        EXPECT_EQ(h.supervisor.consecutive_crashes(), 1u);
        break;
    }
  }
}

TEST(Supervisor, LogonWhileRunningKeepsTheHostAndResetsTheCount) {
  Harness h;
  h.run(started_then_crashed(1, 3));  // pid 4 runs, count 3
  h.run({
      {change("SessionLogon", 5),
       {"SessionChange: reason=SessionLogon session_id=5", "SessionLogon: child already running, no-op"}},
      {after_ms(1000)},
      {host_exits(1)},
      // The count started over: this crash is the first.
      {poll(), {"user-session host pid=4 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
  });
  EXPECT_EQ(h.launcher.launched().size(), 4u);
}

TEST(Supervisor, LogonWhileBackingOffLaunchesAtOnce) {
  for (const char* reason : {"SessionLogon", "ConsoleConnect"}) {
    SCOPED_TRACE(reason);
    Harness h;
    h.run(started_then_crashed(1, 2));
    h.run({
        {after_ms(500)},
        {host_exits(1)},
        {poll(), {"user-session host pid=3 exited (code=0x00000001 (1), consecutive_crashes=3)",
                  "scheduled re-spawn in 4000 ms"}},
        {after_ms(100)},
        {next_launch_ok(50)},
        {change(reason, 1),
         {std::string("SessionChange: reason=") + reason + " session_id=1",
          std::string("spawned user-session host after ") + reason}},
        // The dropped re-spawn does not come back at its old deadline.
        {after_ms(10'000)},
        {poll()},
    });
    EXPECT_EQ(h.supervisor.host_pid(), 50u);
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
    EXPECT_FALSE(h.supervisor.respawn_deadline());
  }
}

TEST(Supervisor, LogonEndsEveryWayOfWaitingForLogon) {
  struct Case {
    const char* name;
    std::vector<Step> into_waiting;
  };
  const Case cases[] = {
      {"nobody at the console at start",
       {{next_launch_no_session()}, {start(), {"no active user session at start " EM_DASH " waiting for logon"}}}},
      {"failed start", {{next_launch_fails("E")}, {start(), {"initial spawn failed: E"}}}},
      {"clean early exit",
       {{next_launch_ok(1)},
        {start(), {"spawned user-session host at service start"}},
        {host_exits(0)},
        {poll(), {clean_exit_line(1, "0")}}}},
      {"logoff",
       {{next_launch_ok(1)},
        {start(), {"spawned user-session host at service start"}},
        {change("SessionLogoff"),
         {"SessionChange: reason=SessionLogoff session_id=1",
          "SessionLogoff: cleared child handle (process exits with session)"}}}},
      {"crash budget exceeded",
       [] {
         auto s = started_then_crashed(1, 5);
         s.push_back({host_exits(1)});
         s.push_back({poll(),
                      {"user-session host pid=6 exited (code=0x00000001 (1), consecutive_crashes=6)",
                       "crash budget exceeded (5); pausing re-spawn until next SessionLogon"}});
         return s;
       }()},
      {"re-spawn deferred",
       {{next_launch_ok(1)},
        {start(), {"spawned user-session host at service start"}},
        {host_exits(1)},
        {poll(), {"user-session host pid=1 exited (code=0x00000001 (1), consecutive_crashes=1)",
                  "scheduled re-spawn in 1000 ms"}},
        {after_ms(1000)},
        {next_launch_no_session()},
        {poll(), {"re-spawn deferred: no active user session"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.run(c.into_waiting);
    h.run({{after_ms(3'600'000)}, {poll()}, {change("RemoteConnect"), {"SessionChange: reason=RemoteConnect session_id=1"}}});
    h.run({{next_launch_ok(77)},
           {change("ConsoleConnect"),
            {"SessionChange: reason=ConsoleConnect session_id=1", "spawned user-session host after ConsoleConnect"}}});
    EXPECT_EQ(h.supervisor.host_pid(), 77u);
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
  }
}

TEST(Supervisor, LogonWhoseLaunchDoesNotSucceedIsNeitherRetriedNorCounted) {
  struct Case {
    Event launch;
    const char* line;
  };
  const Case cases[] = {
      {next_launch_no_session(), "SessionLogon but no active console session resolved"},
      {next_launch_fails("CreateProcessAsUserW: Access denied. (0x00000005)"),
       "spawn after SessionLogon failed: CreateProcessAsUserW: Access denied. (0x00000005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Harness h;
    // From backing off with count 2: the failed logon launch also drops the pending re-spawn.
    h.run(started_then_crashed(1, 1));
    h.run({
        {host_exits(1)},
        {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=2)",
                  "scheduled re-spawn in 2000 ms"}},
        {c.launch},
        {change("SessionLogon", 4), {"SessionChange: reason=SessionLogon session_id=4", c.line}},
        {after_ms(3'600'000)},
        {poll()},
    });
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
    EXPECT_FALSE(h.supervisor.respawn_deadline());
    EXPECT_FALSE(h.supervisor.holds_host());
  }
}

TEST(Supervisor, LogoffReleasesARunningHostBeforeItsLine) {
  for (const char* reason : {"SessionLogoff", "ConsoleDisconnect"}) {
    SCOPED_TRACE(reason);
    Harness h;
    h.run(started_then_crashed(1, 2));  // pid 3 runs, count 2
    h.journal.clear();
    h.run({
        {change(reason, 2),
         {std::string("SessionChange: reason=") + reason + " session_id=2",
          std::string(reason) + ": cleared child handle (process exits with session)"}},
        {after_ms(3'600'000)},
        {poll()},
    });
    EXPECT_EQ(h.journal,
              (std::vector<std::string>{std::string("line: SessionChange: reason=") + reason + " session_id=2",
                                        "release pid 3",
                                        std::string("line: ") + reason +
                                            ": cleared child handle (process exits with session)"}));
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
    EXPECT_FALSE(h.supervisor.holds_host());
  }
}

TEST(Supervisor, LogoffWhileBackingOffDropsTheRespawn) {
  Harness h;
  h.run(started_then_crashed(1, 1));
  h.run({
      {host_exits(3)},
      {poll(), {"user-session host pid=2 exited (code=0x00000003 (3), consecutive_crashes=2)",
                "scheduled re-spawn in 2000 ms"}},
      {change("ConsoleDisconnect", 1), {"SessionChange: reason=ConsoleDisconnect session_id=1"}},
      {after_ms(3'600'000)},
      {poll()},
  });
  EXPECT_FALSE(h.supervisor.respawn_deadline());
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
}

TEST(Supervisor, LogoffWhileWaitingOnlyLogs) {
  Harness h;
  h.run({
      {next_launch_no_session()},
      {start(), {"no active user session at start " EM_DASH " waiting for logon"}},
      {change("SessionLogoff", 1), {"SessionChange: reason=SessionLogoff session_id=1"}},
      {poll()},
  });
  EXPECT_TRUE(h.launcher.released().empty());
}

TEST(Supervisor, ChangeWithoutClassLeavesAPendingRespawnPending) {
  Harness h;
  h.run(started_then_crashed(1, 1));
  h.run({{host_exits(1)},
         {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=2)",
                   "scheduled re-spawn in 2000 ms"}}});
  const auto deadline = h.supervisor.respawn_deadline();
  ASSERT_TRUE(deadline);
  h.run({
      {after_ms(500)},
      {change("SessionLock", 1), {"SessionChange: reason=SessionLock session_id=1"}},
      {change("RemoteDisconnect", 1), {"SessionChange: reason=RemoteDisconnect session_id=1"}},
  });
  EXPECT_EQ(h.supervisor.respawn_deadline(), deadline);
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 2u);
  h.run({{after_ms(1500)}, {next_launch_ok(3)}, {poll(), {"re-spawned user-session host (attempt 2/5)"}}});
}

TEST(Supervisor, ExitedButUnpolledHostStillCountsAsHeld) {
  Harness h;
  h.run(started_then_crashed(1, 2));  // pid 3 runs, count 2
  h.run({
      {after_ms(1000)},
      {host_exits(1)},
      {change("ConsoleConnect", 1),
       {"SessionChange: reason=ConsoleConnect session_id=1", "ConsoleConnect: child already running, no-op"}},
      {change("SessionLogoff", 1),
       {"SessionChange: reason=SessionLogoff session_id=1",
        "SessionLogoff: cleared child handle (process exits with session)"}},
      {after_ms(60'000)},
      {poll()},  // the exit of pid 3 is never written nor counted
  });
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
  EXPECT_EQ(h.launcher.released(), (std::vector<std::uint32_t>{1, 2, 3}));
}

// --- re-spawn outcomes --------------------------------------------------------------------------

TEST(Supervisor, FailedRespawnsCountUpAndStopSilentlyAtSix) {
  Harness h;
  h.run({
      {next_launch_ok(1)},
      {start(), {"spawned user-session host at service start"}},
      {host_exits(1)},
      {poll(), {"user-session host pid=1 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
  });
  struct Retry {
    std::uint64_t wait_ms;  // until the pending deadline
    std::uint32_t count_after;
    std::optional<std::uint64_t> next_delay_ms;
  };
  const Retry retries[] = {
      {1000, 2, 2000}, {2000, 3, 4000}, {4000, 4, 8000}, {8000, 5, 30000}, {30000, 6, std::nullopt},
  };
  for (const Retry& r : retries) {
    SCOPED_TRACE("retry bringing the count to " + std::to_string(r.count_after));
    h.run({
        {after_ms(r.wait_ms - 1)},
        {poll()},
        {after_ms(1)},
        {next_launch_fails("CreateProcessAsUserW: File not found. (0x00000002)")},
        {poll(), {"re-spawn failed: CreateProcessAsUserW: File not found. (0x00000002)"}},
    });
    EXPECT_EQ(h.supervisor.consecutive_crashes(), r.count_after);
    if (r.next_delay_ms) {
      EXPECT_EQ(h.supervisor.respawn_deadline(), h.clock.current().plus(Duration::from_millis(*r.next_delay_ms)));
    } else {
      EXPECT_FALSE(h.supervisor.respawn_deadline());
    }
  }
  h.run({{after_ms(3'600'000)}, {poll()}});
  h.run({{next_launch_ok(2)},
         {change("SessionLogon", 1),
          {"SessionChange: reason=SessionLogon session_id=1", "spawned user-session host after SessionLogon"}}});
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
}

TEST(Supervisor, SuccessfulRespawnAfterFailuresShowsTheRaisedCount) {
  Harness h;
  h.run({
      {next_launch_ok(1)},
      {start(), {"spawned user-session host at service start"}},
      {host_exits(1)},
      {poll(), {"user-session host pid=1 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
      {after_ms(1000)},
      {next_launch_fails("E")},
      {poll(), {"re-spawn failed: E"}},
      {after_ms(2000)},
      {next_launch_ok(2)},
      {poll(), {"re-spawned user-session host (attempt 2/5)"}},
      {host_exits(1)},
      {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=3)",
                "scheduled re-spawn in 4000 ms"}},
  });
}

TEST(Supervisor, RespawnThatFindsNoConsoleUserIsDeferredUntilLogon) {
  Harness h;
  h.run(started_then_crashed(1, 1));
  h.run({
      {host_exits(1)},
      {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=2)",
                "scheduled re-spawn in 2000 ms"}},
      {after_ms(2000)},
      {next_launch_no_session()},
      {poll(), {"re-spawn deferred: no active user session"}},
  });
  EXPECT_EQ(h.supervisor.consecutive_crashes(), 2u);
  EXPECT_FALSE(h.supervisor.respawn_deadline());
  h.run({{after_ms(3'600'000)}, {poll()}, {change("SessionUnlock"), {"SessionChange: reason=SessionUnlock session_id=1"}}});
  h.run({{next_launch_ok(3)},
         {change("SessionLogon"),
          {"SessionChange: reason=SessionLogon session_id=1", "spawned user-session host after SessionLogon"}}});
}

// --- ending -------------------------------------------------------------------------------------

TEST(Supervisor, ShutDownReleasesARunningHostThenSaysSo) {
  Harness h;
  h.run({{next_launch_ok(321)}, {start(), {"spawned user-session host at service start"}}});
  h.journal.clear();
  h.run({{shut_down(), {"terminated user-session host pid=321"}}});
  EXPECT_EQ(h.journal, (std::vector<std::string>{"release pid 321", "line: terminated user-session host pid=321"}));
  EXPECT_FALSE(h.supervisor.holds_host());
}

TEST(Supervisor, ShutDownWithoutAHostWritesNothing) {
  Harness h;
  h.run(started_then_crashed(1, 1));
  h.run({
      {host_exits(1)},
      {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=2)",
                "scheduled re-spawn in 2000 ms"}},
      {shut_down()},
  });
  EXPECT_EQ(h.launcher.launched().size(), 2u);
}

TEST(Supervisor, AbandonReleasesWithoutALine) {
  Harness h;
  h.run({{next_launch_ok(9)}, {start(), {"spawned user-session host at service start"}}, {abandon()}, {abandon()}});
  EXPECT_EQ(h.launcher.released(), std::vector<std::uint32_t>{9});
}

TEST(Supervisor, DestructionReleasesAHostStillHeld) {
  fakes::FakeClock clock;
  fakes::FakeHostLauncher launcher;
  fakes::RecordingLineWriter log;
  launcher.script(ScriptedLaunch::launched(12));
  {
    Supervisor supervisor(launcher, clock, log);
    ASSERT_TRUE(supervisor.start().ok());
  }
  EXPECT_EQ(launcher.released(), std::vector<std::uint32_t>{12});
  EXPECT_TRUE(launcher.all_released_once());
}

// --- lines that cannot be written ---------------------------------------------------------------

TEST(Supervisor, LineThatCannotBeWrittenReleasesTheHostAndReturnsTheError) {
  struct Case {
    const char* name;
    std::vector<Step> before;
    Step failing;  // armed with fail_line(n) just before it
    std::size_t nth;
  };
  const std::vector<Step> running = started_then_crashed(1, 1);  // pid 2 runs, count 1
  const Case cases[] = {
      {"session-change line while running", running, {change("SessionLock"), {}, true}, 1},
      {"child-already-running line", running,
       {change("SessionLogon"), {"SessionChange: reason=SessionLogon session_id=1"}, true}, 2},
      {"cleared-child line", running,
       {change("SessionLogoff"), {"SessionChange: reason=SessionLogoff session_id=1"}, true}, 2},
      {"exit line", running, {poll(), {}, true}, 1},
      {"scheduled line", running,
       {poll(), {"user-session host pid=2 exited (code=0x00000001 (1), consecutive_crashes=2)"}, true}, 2},
      {"terminated line", running, {shut_down(), {}, true}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    // When a host runs, it has just exited, so that a poll reaches the exit handling.
    h.run(then(c.before, {{host_exits(1)}, {fail_line(c.nth)}, c.failing}));
    EXPECT_FALSE(h.supervisor.holds_host());
    EXPECT_TRUE(h.launcher.live().empty());
    EXPECT_EQ(h.log.failed_lines().size(), 1u);
    h.run({{abandon()}});
    EXPECT_TRUE(h.launcher.all_released_once());
  }
}

TEST(Supervisor, FailedLineRightAfterASuccessfulLaunchLeavesNoHostRunning) {
  struct Case {
    const char* name;
    std::vector<Step> before;
    Step failing;
    std::size_t nth;
    const char* failed_line;
  };
  const std::vector<Step> backing_off = {
      {next_launch_ok(1)},
      {start(), {"spawned user-session host at service start"}},
      {host_exits(1)},
      {poll(), {"user-session host pid=1 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
      {after_ms(1000)},
  };
  const Case cases[] = {
      {"start", {{next_launch_ok(5)}}, {start(), {}, true}, 1, "spawned user-session host at service start"},
      {"logon",
       {{next_launch_no_session()},
        {start(), {"no active user session at start " EM_DASH " waiting for logon"}},
        {next_launch_ok(5)}},
       {change("SessionLogon"), {"SessionChange: reason=SessionLogon session_id=1"}, true},
       2,
       "spawned user-session host after SessionLogon"},
      {"re-spawn", [&] { auto s = backing_off; s.push_back({next_launch_ok(5)}); return s; }(),
       {poll(), {}, true}, 1, "re-spawned user-session host (attempt 1/5)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.run(then(c.before, {{fail_line(c.nth)}, c.failing}));
    EXPECT_EQ(h.log.failed_lines(), std::vector<std::string>{c.failed_line});
    EXPECT_FALSE(h.supervisor.holds_host());
    EXPECT_TRUE(h.launcher.live().empty());
    ASSERT_GE(h.journal.size(), 3u);
    // The new host goes back through release, and its launch instant is never read.
    EXPECT_EQ(std::vector<std::string>(h.journal.end() - 3, h.journal.end()),
              (std::vector<std::string>{"launch -> pid 5", std::string("line failed: ") + c.failed_line,
                                        "release pid 5"}));
  }
}

TEST(Supervisor, FailedLineWithoutAHostStillReturnsTheError) {
  struct Case {
    const char* name;
    std::vector<Step> before;
    Step failing;
    std::size_t nth;
  };
  const std::vector<Step> backing_off = {
      {next_launch_ok(1)},
      {start(), {"spawned user-session host at service start"}},
      {host_exits(1)},
      {poll(), {"user-session host pid=1 exited (code=0x00000001 (1), consecutive_crashes=1)",
                "scheduled re-spawn in 1000 ms"}},
      {after_ms(1000)},
  };
  const Case cases[] = {
      {"no session at start", {{next_launch_no_session()}}, {start(), {}, true}, 1},
      {"initial spawn failed", {{next_launch_fails("E")}}, {start(), {}, true}, 1},
      {"re-spawn failed", [&] { auto s = backing_off; s.push_back({next_launch_fails("E")}); return s; }(),
       {poll(), {}, true}, 1},
      {"re-spawn deferred", [&] { auto s = backing_off; s.push_back({next_launch_no_session()}); return s; }(),
       {poll(), {}, true}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.run(then(c.before, {{fail_line(c.nth)}, c.failing}));
    EXPECT_FALSE(h.supervisor.holds_host());
    EXPECT_EQ(h.log.failed_lines().size(), 1u);
  }
}

TEST(Supervisor, FailedCrashBudgetLineReturnsTheError) {
  Harness h;
  h.run(started_then_crashed(1, 5));  // pid 6 runs as attempt 5/5
  h.run({{host_exits(1)},
         {fail_line(2)},
         {poll(), {"user-session host pid=6 exited (code=0x00000001 (1), consecutive_crashes=6)"}, true}});
  EXPECT_EQ(h.log.failed_lines(),
            std::vector<std::string>{"crash budget exceeded (5); pausing re-spawn until next SessionLogon"});
}

TEST(Supervisor, FailedCleanExitLineReturnsTheError) {
  Harness h;
  h.run({{next_launch_ok(4)}, {start(), {"spawned user-session host at service start"}}, {host_exits(0)},
         {fail_line(1)}, {poll(), {}, true}});
  EXPECT_EQ(h.log.failed_lines(), std::vector<std::string>{clean_exit_line(4, "0")});
  EXPECT_EQ(h.launcher.released(), std::vector<std::uint32_t>{4});
}

}  // namespace
}  // namespace quolin::scenario
