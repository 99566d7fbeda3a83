// The Supervisor's decisions as the exact lines it writes, the events it reports and the hosts
// it launches and releases: each scenario is a table of events with what each writes, in order
// (clock, host and launch-script events write nothing). After every event the harness checks what
// holds whatever the policy decides, and at its end that every scripted launch was used.
#include "supervisor/supervisor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_files.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/recording_line_writer.h"
#include "log/event_log_sink.h"
#include "log/service_log.h"

namespace quolin::scenario {
namespace {

using fakes::ScriptedLaunch;
class Harness;
// A Supervisor operation gives its status; any other event gives none.
using Event = std::function<std::optional<Status<LogError>>(Harness&)>;

struct Step {
  Event event;
  // Exactly what this event writes, in order: its lines, and its Event Log reports as report() spells them.
  std::vector<std::string> lines = {};
  bool fatal = false;  // the operation meets a line armed to fail: its lines are not compared
};

// What the failing log reports (ERROR_DISK_FULL); the Supervisor must hand back exactly this.
LogError injected_error() { return LogError::os(112); }

std::string report(const char* type, int id, std::initializer_list<std::string> strings) {
  std::string e = "event " + std::string(type) + " " + std::to_string(id) + ":";
  const char* separator = " ";
  for (const std::string& s : strings) e += std::exchange(separator, " | ") + s;
  return e;
}

class Harness {
 public:
  // Declared first, destroyed last: the fakes outlive the Supervisor, whose destructor must
  // release a host still held; the launcher reports one that was not when it goes.
  std::vector<std::string> journal;  // of lines and events
  fakes::FakeClock clock;
  fakes::FakeHostLauncher launcher;
  fakes::RecordingLineWriter log{&journal};
  fakes::FakeEventLog event_log{&journal};
  EventLogSink events{event_log};
  Supervisor supervisor{launcher, clock, log, events};

  ~Harness() { EXPECT_EQ(launcher.scripted_left(), 0u) << "a scripted launch never happened"; }

  void run(const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i + 1));
      apply(steps[i]);
    }
  }

  // Whatever the policy decides: the only running host is the one held, a host and a re-spawn
  // deadline are never held together, and the count stops one past the budget.
  void check_invariants() const {
    EXPECT_FALSE(supervisor.holds_host() && supervisor.respawn_deadline());
    EXPECT_LE(supervisor.consecutive_crashes(), Supervisor::CRASH_BUDGET + 1);
    const auto live = launcher.live();
    if (supervisor.holds_host()) {
      EXPECT_EQ(live, std::vector<std::uint32_t>{*supervisor.host_pid()});
    } else {
      EXPECT_TRUE(live.empty()) << "a host runs that the Supervisor no longer holds";
    }
  }

 private:
  void apply(const Step& step) {
    const std::size_t before = journal.size();
    const std::optional<Status<LogError>> status = step.event(*this);
    if (step.fatal) {
      ASSERT_TRUE(status && !status->ok()) << "the failed line was not reported";
      EXPECT_EQ(status->error(), injected_error());
      ASSERT_FALSE(journal.empty());
      EXPECT_TRUE(journal.back().starts_with("line failed: ")) << "a line or event came after the failed line";
    } else {
      std::vector<std::string> said;
      for (std::size_t i = before; i < journal.size(); ++i) {
        said.push_back(journal[i].starts_with("line: ") ? journal[i].substr(6) : journal[i]);
      }
      EXPECT_EQ(said, step.lines);
      EXPECT_TRUE(!status || status->ok()) << "unexpected error, code " << status->error().code;
    }
    check_invariants();
  }
};

Event start() { return [](Harness& h) { return std::optional(h.supervisor.start()); }; }
Event change(std::string reason, std::uint32_t id = 1) {
  return [=](Harness& h) { return std::optional(h.supervisor.on_session_change(reason, id)); };
}
Event poll() { return [](Harness& h) { return std::optional(h.supervisor.on_poll_timeout()); }; }
Event shut_down() { return [](Harness& h) { return std::optional(h.supervisor.shut_down()); }; }
Event abandon() { return [](Harness& h) { h.supervisor.abandon(); return std::nullopt; }; }
Event after(Duration d) { return [=](Harness& h) { h.clock.advance(d); return std::nullopt; }; }
Event after_ms(std::uint64_t ms) { return after(Duration::from_millis(ms)); }
Event host_exits(std::optional<std::uint32_t> code) {  // the running host ends (none: the fake says so)
  return [=](Harness& h) {
    h.launcher.end_host(h.launcher.live().empty() ? 0 : h.launcher.live().back(), HostExit{code});
    return std::nullopt;
  };
}
Event next_launch(ScriptedLaunch l) {
  return [=](Harness& h) { h.launcher.script(l); return std::nullopt; };
}
Event next_launch_ok(std::uint32_t pid) { return next_launch(ScriptedLaunch::launched(pid)); }
Event next_launch_no_session() { return next_launch(ScriptedLaunch::no_active_session()); }
Event next_launch_fails(std::string text) { return next_launch(ScriptedLaunch::failed(text)); }

#define EM_DASH "\xE2\x80\x94"  // U+2014 as bytes

using Lines = std::vector<std::string>;
const std::string SPAWNED_AT_START = "spawned user-session host at service start";
const std::string NO_SESSION_AT_START = "no active user session at start " EM_DASH " waiting for logon";
const std::string LOGOFF_CLEARED = "SessionLogoff: cleared child handle (process exits with session)";
const std::string DEFERRED = "re-spawn deferred: no active user session";
const std::string BUDGET_SPENT = "crash budget exceeded (5); pausing re-spawn until next SessionLogon";

std::string clean_exit_line(std::uint32_t pid, const char* ms) {
  return "user-session host pid=" + std::to_string(pid) + " exited cleanly in " + ms + " ms " EM_DASH
         " assuming another quolin.exe is already running in this session; pausing re-spawn until next "
         "SessionLogon";
}
std::string exit_line(std::uint32_t pid, const char* code, std::uint32_t crashes) {
  return "user-session host pid=" + std::to_string(pid) + " exited (code=" + code +
         ", consecutive_crashes=" + std::to_string(crashes) + ")";
}
std::string change_line(const std::string& reason, std::uint32_t id) {
  return "SessionChange: reason=" + reason + " session_id=" + std::to_string(id);
}
std::string respawned_line(std::uint32_t attempt) {
  return "re-spawned user-session host (attempt " + std::to_string(attempt) + "/5)";
}
std::string launched(const std::string& occasion, std::uint32_t pid, std::uint32_t session = 1) {
  return report("Information", 1001, {occasion, std::to_string(pid), std::to_string(session)});
}
std::string launch_failed(const std::string& occasion, const std::string& text) {
  return report("Error", 1005, {occasion, text});
}
std::string ended(std::uint32_t pid, const std::string& cause) {
  return report("Information", 1007, {std::to_string(pid), cause});
}
Lines spawned_at_start(std::uint32_t pid) { return {SPAWNED_AT_START, launched("service start", pid)}; }
Lines respawned(std::uint32_t attempt, std::uint32_t pid) {
  return {respawned_line(attempt), launched("re-spawn attempt " + std::to_string(attempt) + "/5", pid)};
}
// A crash within the budget: its exit line, the scheduled re-spawn and their event, whose code
// adds the code's meaning, if it has one.
Lines crash(std::uint32_t pid, std::uint32_t n, const char* code = "0x00000001 (1)", std::string meaning = "") {
  const std::string ms = std::to_string(Supervisor::RESPAWN_DELAYS[n - 1].as_millis_saturating());
  return {exit_line(pid, code, n), "scheduled re-spawn in " + ms + " ms",
          report("Warning", 1002, {std::to_string(pid), meaning.empty() ? code : code + (", " + meaning),
                                   std::to_string(n), ms})};
}
Lines budget_spent(std::uint32_t pid, const char* code = "0x00000001 (1)", std::string meaning = "") {
  return {exit_line(pid, code, 6), BUDGET_SPENT,
          report("Error", 1003, {std::to_string(pid), meaning.empty() ? code : code + (", " + meaning), "6", "5"})};
}
Lines clean_exit(std::uint32_t pid, const char* ms) {
  return {clean_exit_line(pid, ms), report("Warning", 1004, {std::to_string(pid), ms})};
}
std::vector<Step> then(std::vector<Step> first, const std::vector<Step>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

// Started at service start, then `times` crashes (code 1 after 2 s), each re-spawned at its
// deadline: pids first_pid, first_pid + 1, ...; the last runs with the count at `times`.
std::vector<Step> started_then_crashed(std::uint32_t first_pid, std::uint32_t times) {
  std::vector<Step> steps = {{next_launch_ok(first_pid)}, {start(), spawned_at_start(first_pid)}};
  for (std::uint32_t n = 1; n <= times; ++n) {
    steps = then(steps, {{after_ms(2000)}, {host_exits(1)}, {poll(), crash(first_pid + n - 1, n)},
                         {after(Supervisor::RESPAWN_DELAYS[n - 1])}, {next_launch_ok(first_pid + n)},
                         {poll(), respawned(n, first_pid + n)}});
  }
  return steps;
}
// pid 1 crashed at once and its re-spawn is due now.
const std::vector<Step> RESPAWN_DUE = {
    {next_launch_ok(1)}, {start(), spawned_at_start(1)}, {host_exits(1)}, {poll(), crash(1, 1)},
    {after_ms(1000)}};

TEST(Supervisor, CrashesAreRespawnedExactlyAtTheirDeadlineUntilTheBudgetIsSpent) {
  // Literal on purpose: the back-off as the operator reads it.
  const char* const scheduled[] = {"scheduled re-spawn in 1000 ms", "scheduled re-spawn in 2000 ms",
                                   "scheduled re-spawn in 4000 ms", "scheduled re-spawn in 8000 ms",
                                   "scheduled re-spawn in 30000 ms"};
  Harness h;
  h.run({{next_launch_ok(100)}, {start(), spawned_at_start(100)}, {after_ms(10'000)}, {poll()}});
  for (std::uint32_t n = 1; n <= std::size(scheduled); ++n) {
    SCOPED_TRACE("crash " + std::to_string(n));
    const std::uint64_t delay_ms = Supervisor::RESPAWN_DELAYS[n - 1].as_millis_saturating();
    h.run({{after_ms(100)}, {host_exits(1)},
           {poll(), {crash(99 + n, n)[0], scheduled[n - 1], crash(99 + n, n)[2]}},
           {after_ms(delay_ms - 1)}, {poll()},  // one millisecond early: nothing
           {after_ms(1)}, {next_launch_ok(100 + n)}, {poll(), respawned(n, 100 + n)}});
  }
  h.run({{host_exits(0xC0000005)}, {poll(), budget_spent(105, "0xC0000005 (-1073741819)", "an access violation")},
         {after_ms(3'600'000)}, {poll()}});
}

TEST(Supervisor, ExitIsCleanOnlyAsCodeZeroBeforeFiveSecondsAndARunOfSixtyRestartsTheCount) {
  struct Case {
    Event run;
    std::optional<std::uint32_t> code;
    Lines lines;
    std::uint32_t count_after;
  };
  constexpr std::uint32_t P = 4294967295u;
  const Case cases[] = {
      {after(Duration{0, 0}), 0, clean_exit(P, "0"), 0},
      {after(Duration{4, 999'999'999}), 0, clean_exit(P, "4999"), 0},
      {[](Harness& h) { h.clock.set(Instant{}); return std::nullopt; }, 0, clean_exit(P, "0"), 0},  // run < 0: 0
      {after_ms(5000), 0, crash(P, 5, "0x00000000 (0)"), 5},
      {after_ms(0), std::nullopt, crash(P, 5, "<unavailable>"), 5},
      {after_ms(59'999), 0xFFFFFFFF, crash(P, 5, "0xFFFFFFFF (-1)"), 5},
      {after_ms(60'000), 0x80000000, crash(P, 1, "0x80000000 (-2147483648)"), 1},
      {after_ms(60'000), 0, crash(P, 1, "0x00000000 (0)"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines[0]);
    Harness h;
    h.run(started_then_crashed(P - 4, 4));  // pid P runs as attempt 4/5
    h.run({{c.run}, {host_exits(c.code)}, {poll(), c.lines}});
    EXPECT_EQ(h.supervisor.consecutive_crashes(), c.count_after);
    EXPECT_EQ(h.supervisor.respawn_deadline().has_value(), c.count_after != 0);
  }
}

TEST(Supervisor, CrashEventsSayWhatAWellKnownExitCodeMeansWhileTheLinesGiveTheCodeAlone) {
  const std::tuple<std::uint32_t, const char*, const char*> cases[] = {  // code, as the line gives it, meaning
      {0xC0000005, "0xC0000005 (-1073741819)", "an access violation"},
      {0xC00000FD, "0xC00000FD (-1073741571)", "a stack overflow"},
      {0xC0000409, "0xC0000409 (-1073740791)", "a fail-fast exit or stack buffer overrun"},
      {0xC0000374, "0xC0000374 (-1073740940)", "heap corruption"},
      {0xC000001D, "0xC000001D (-1073741795)", "an illegal instruction"},
      {0xC0000096, "0xC0000096 (-1073741674)", "a privileged instruction"},
      {0xC0000094, "0xC0000094 (-1073741676)", "an integer division by zero"},
      {0xC0000135, "0xC0000135 (-1073741515)", "a DLL not found"},
      {0xC0000142, "0xC0000142 (-1073741502)", "a DLL that failed to initialize"},
      {0xC0000139, "0xC0000139 (-1073741511)", "an entry point not found in a DLL"},
      {0xE06D7363, "0xE06D7363 (-529697949)", "an unhandled C++ exception"},
      {3, "0x00000003 (3)", "the code of abort()"},
      {0xC000013A, "0xC000013A (-1073741510)", "a Ctrl+C or Ctrl+Break"},
      {0xC0000006, "0xC0000006 (-1073741818)", ""},  // beside a known code, not one
      {0xFFFFFFFD, "0xFFFFFFFD (-3)", ""},           // not abort()'s 3
  };
  for (const auto& [code, text, meaning] : cases) {
    SCOPED_TRACE(text);
    Harness h;
    h.run(then(started_then_crashed(1, 4), {{host_exits(code)}, {poll(), crash(5, 5, text, meaning)}}));
  }
}

TEST(Supervisor, SessionChangeActsByReasonClassOnAnUnpolledExitAndOnABackOff) {
  enum class Class { Logon, Logoff, None };
  using enum Class;
  // Every reason the control handler sends, then by containment: a name holding both kinds
  // counts as a logon.
  const std::pair<std::string, Class> cases[] = {
      {"SessionLogon", Logon}, {"ConsoleConnect", Logon}, {"SessionLogoff", Logoff},
      {"ConsoleDisconnect", Logoff}, {"RemoteConnect", None}, {"RemoteDisconnect", None},
      {"SessionLock", None}, {"SessionUnlock", None}, {"SessionRemoteControl", None},
      {"SessionCreate", None}, {"SessionTerminate", None}, {"xSessionLogonx", Logon},
      {"SessionLogoff/SessionLogon", Logon}, {"ConsoleDisconnect ConsoleConnect", Logon},
      {"was ConsoleDisconnect", Logoff}, {"sessionlogon", None}, {"", None}};
  std::uint32_t id = 4294967295u;
  for (const auto& [reason, cls] : cases) {
    SCOPED_TRACE("reason \"" + reason + "\"");
    const bool logon = cls == Class::Logon, none = cls == Class::None;
    id = id * 7 + 3;  // session ids of every size, written as received
    // A logoff counts only for the session the host was launched into (1 here).
    if (cls == Class::Logoff) id = 1;
    const std::string cleared = reason + ": cleared child handle (process exits with session)";
    {
      // Host pid 2 (count 1) has exited, but no poll has seen it: it is still held.
      Harness h;
      h.run(then(started_then_crashed(1, 1), {{host_exits(1)}}));
      if (cls == Class::Logoff) {
        h.run({{change(reason, id), {change_line(reason, id), cleared, ended(2, reason)}}, {poll()}});
      } else {
        Lines said = {change_line(reason, id)};
        if (logon) said.push_back(reason + ": child already running, no-op");
        const std::uint32_t count = logon ? 1 : 2;  // a logon starts the count over
        h.run({{change(reason, id), said}, {poll(), crash(2, count)}});
      }
    }
    {
      // Host pid 2 crashed as well: the count is 2 and a re-spawn is pending.
      Harness h;
      h.run(then(started_then_crashed(1, 1),
                 {{host_exits(1)}, {poll(), crash(2, 2)}, {after_ms(500)}}));
      Lines said = {change_line(reason, id)};
      if (logon) said = {said[0], "spawned user-session host after " + reason, launched(reason, 50)};
      h.run({logon ? Step{next_launch_ok(50)} : Step{after_ms(0)}, {change(reason, id), said}});
      EXPECT_EQ(h.supervisor.consecutive_crashes(), none ? 2u : 0u);
      EXPECT_EQ(h.supervisor.holds_host(), logon);
      // A dropped re-spawn does not come back at its old deadline.
      h.run({none ? Step{next_launch_ok(3)} : Step{after_ms(0)}, {after_ms(1500)},
             {poll(), none ? respawned(2, 3) : Lines{}}});
    }
  }
}

TEST(Supervisor, ALogoffOfAnotherSessionThanTheHostsChangesNothing) {
  // The host's session follows each launch: pid 6 went to session 2, its successor pid 7 to 1.
  const std::vector<Step> running = {
      {next_launch(ScriptedLaunch::launched(6, 2))}, {start(), {SPAWNED_AT_START, launched("service start", 6, 2)}},
      {change("SessionLogoff", 2), {change_line("SessionLogoff", 2), LOGOFF_CLEARED, ended(6, "SessionLogoff")}},
      {next_launch_ok(7)},
      {change("SessionLogon"), {change_line("SessionLogon", 1), "spawned user-session host after SessionLogon",
                                launched("SessionLogon", 7)}}};
  struct State {
    const char* name;
    std::vector<Step> steps;  // the latest launch went to session 1, unless none happened
    bool held;
    std::uint32_t count;
    bool pending;
  };
  const State states[] = {
      {"running", running, true, 0, false},
      {"backing off", then(started_then_crashed(1, 1), {{host_exits(1)}, {poll(), crash(2, 2)}}), false, 2, true},
      {"paused after a clean exit", then(running, {{host_exits(0)}, {poll(), clean_exit(7, "0")}}), false, 0, false},
      {"no launch yet", {{next_launch_no_session()}, {start(), {NO_SESSION_AT_START}}}, false, 0, false},
  };
  for (const State& s : states) {
    for (const char* reason : {"SessionLogoff", "ConsoleDisconnect"}) {
      for (std::uint32_t session : {1u, 3u}) {
        SCOPED_TRACE(std::string(s.name) + ", " + reason + " of session " + std::to_string(session));
        Harness h;
        h.run(s.steps);
        const bool launched = std::string(s.name) != "no launch yet";
        const bool other = session != 1 && launched;
        Lines said = {change_line(reason, session)};
        if (other) said.push_back(std::string(reason) + ": session 3 is not the host's session 1, no-op");
        if (!other && s.held) {
          said.push_back(std::string(reason) + ": cleared child handle (process exits with session)");
          said.push_back(ended(7, reason));
        }
        h.run({{change(reason, session), said}});
        // Another session's logoff keeps the host, the count and a pending re-spawn.
        EXPECT_EQ(h.supervisor.holds_host(), other && s.held);
        EXPECT_EQ(h.supervisor.consecutive_crashes(), other ? s.count : 0u);
        EXPECT_EQ(h.supervisor.respawn_deadline().has_value(), other && s.pending);
      }
    }
  }
}

TEST(Supervisor, AHostThatCannotBeTiedToTheServiceRunsOnAndOneLineSaysWhy) {
  Harness h;
  h.run({{next_launch(ScriptedLaunch::launched(7, 1, "AssignProcessToJobObject: Access is denied. (0x80070005)"))},
         {start(),
          {SPAWNED_AT_START, launched("service start", 7),
           "user-session host pid=7 will outlive a crash of the service: "
           "AssignProcessToJobObject: Access is denied. (0x80070005)",
           report("Warning", 1006, {"7", "AssignProcessToJobObject: Access is denied. (0x80070005)"})}}});
}

TEST(Supervisor, OnlyALogonEndsWaitingForLogon) {
  const std::vector<Step> backing_off = then(started_then_crashed(1, 1), {{host_exits(1)}, {poll(), crash(2, 2)}});
  const std::string denied = "CreateProcessAsUserW: Access denied. (0x00000005)";
  const std::string nobody = "SessionLogon but no active console session resolved";
  const std::pair<const char*, std::vector<Step>> cases[] = {
      {"nobody at the console at start", {{next_launch_no_session()}, {start(), {NO_SESSION_AT_START}}}},
      {"failed start", {{next_launch_fails("E")}, {start(), {"initial spawn failed: E", launch_failed("service start", "E")}}}},
      {"clean early exit",
       {{next_launch_ok(1)}, {start(), spawned_at_start(1)}, {host_exits(0)}, {poll(), clean_exit(1, "0")}}},
      {"crash budget spent", then(started_then_crashed(1, 5), {{host_exits(1)}, {poll(), budget_spent(6)}})},
      {"re-spawn deferred", then(RESPAWN_DUE, {{next_launch_no_session()}, {poll(), {DEFERRED}}})},
      {"logon that found nobody",
       then(backing_off, {{next_launch_no_session()},
                          {change("SessionLogon", 4), {change_line("SessionLogon", 4), nobody}}})},
      {"logon whose launch failed",
       then(backing_off, {{next_launch_fails(denied)},
                          {change("SessionLogon", 4),
                           {change_line("SessionLogon", 4), "spawn after SessionLogon failed: " + denied,
                            launch_failed("SessionLogon", denied)}}})},
  };
  for (const auto& [name, into_waiting] : cases) {
    SCOPED_TRACE(name);
    Harness h;
    h.run(into_waiting);
    h.run({{after_ms(3'600'000)}, {poll()}, {change("RemoteConnect"), {change_line("RemoteConnect", 1)}},
           {next_launch_ok(77)},
           {change("ConsoleConnect"),
            {change_line("ConsoleConnect", 1), "spawned user-session host after ConsoleConnect",
             launched("ConsoleConnect", 77)}}});
    EXPECT_EQ(h.supervisor.consecutive_crashes(), 0u);
  }
}

TEST(Supervisor, FailedRespawnsCountUpAndStopSilentlyPastTheBudget) {
  Harness h;
  h.run(RESPAWN_DUE);
  for (std::uint32_t count = 2; count <= Supervisor::CRASH_BUDGET + 1; ++count) {
    SCOPED_TRACE("failure bringing the count to " + std::to_string(count));
    h.run({{next_launch_fails("CreateProcessAsUserW: File not found. (0x00000002)")},
           {poll(), {"re-spawn failed: CreateProcessAsUserW: File not found. (0x00000002)",
                     launch_failed("re-spawn", "CreateProcessAsUserW: File not found. (0x00000002)")}}});
    EXPECT_EQ(h.supervisor.consecutive_crashes(), count);
    if (count <= Supervisor::CRASH_BUDGET) {  // past it, no deadline: the hour below is silent
      const Duration delay = Supervisor::RESPAWN_DELAYS[count - 1];
      EXPECT_EQ(h.supervisor.respawn_deadline(), h.clock.now().plus(delay));
      h.run({{after(delay)}});
    }
  }
  h.run({{after_ms(3'600'000)}, {poll()}});
  // A re-spawn that succeeds after a failure shows the raised count, and the next crash counts on.
  Harness g;
  g.run(then(RESPAWN_DUE, {{next_launch_fails("E")}, {poll(), {"re-spawn failed: E", launch_failed("re-spawn", "E")}},
                           {after_ms(2000)}, {next_launch_ok(2)}, {poll(), respawned(2, 2)}, {host_exits(1)},
                           {poll(), crash(2, 3)}}));
}

// The line and event of a host ended at stop, after its release, show in the run loop's stop sequence.
TEST(Supervisor, ShutDownDropsAPendingRespawnAndAbandonWritesNothing) {
  Harness due;
  due.run(then(RESPAWN_DUE, {{shut_down()}}));
  Harness abandoned;
  abandoned.run({{next_launch_ok(9)}, {start(), spawned_at_start(9)}, {abandon()}, {abandon()}});
  // A host still held when a Harness ends is released by the Supervisor's destructor, which the
  // fake launcher checks when it goes.
}

TEST(Supervisor, FailedLineReleasesEveryHostAndReturnsTheWritersError) {
  struct Case {
    std::string failed_line;
    std::vector<Step> before;
    Event operation;
    std::size_t nth;  // of the lines the operation writes
  };
  const std::vector<Step> exited = then(started_then_crashed(1, 1), {{host_exits(1)}});  // pid 2
  const Case cases[] = {
      {SPAWNED_AT_START, {{next_launch_ok(5)}}, start(), 1},
      {NO_SESSION_AT_START, {{next_launch_no_session()}}, start(), 1},
      {"initial spawn failed: E", {{next_launch_fails("E")}}, start(), 1},
      {"spawned user-session host after SessionLogon",
       {{next_launch_no_session()}, {start(), {NO_SESSION_AT_START}}, {next_launch_ok(5)}},
       change("SessionLogon"), 2},
      {change_line("SessionLock", 1), exited, change("SessionLock"), 1},
      {"SessionLogon: child already running, no-op", exited, change("SessionLogon"), 2},
      {LOGOFF_CLEARED, exited, change("SessionLogoff"), 2},
      {crash(2, 2)[0], exited, poll(), 1},
      {"scheduled re-spawn in 2000 ms", exited, poll(), 2},
      {BUDGET_SPENT, then(started_then_crashed(1, 5), {{host_exits(1)}}), poll(), 2},
      {clean_exit_line(1, "0"), {{next_launch_ok(1)}, {start(), spawned_at_start(1)}, {host_exits(0)}}, poll(), 1},
      {respawned_line(1), then(RESPAWN_DUE, {{next_launch_ok(5)}}), poll(), 1},
      {"re-spawn failed: E", then(RESPAWN_DUE, {{next_launch_fails("E")}}), poll(), 1},
      {DEFERRED, then(RESPAWN_DUE, {{next_launch_no_session()}}), poll(), 1},
      {"terminated user-session host pid=2", exited, shut_down(), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failed_line);
    Harness h;
    h.run(c.before);
    h.log.fail_nth_from_now(c.nth, injected_error());
    h.run({{c.operation, {}, true}, {abandon()}});
    EXPECT_EQ(h.journal.back(), "line failed: " + c.failed_line);
    EXPECT_TRUE(h.launcher.all_released_once());
  }
}


// Something held where the log folder belongs takes nothing from the Supervisor: while the log
// cannot be made safe each line goes to the Event Log (1101) and every decision goes on; the log
// that takes lines again first says how many it missed, once. Only an Event Log that refuses the
// line too ends the service.
TEST(Supervisor, GoesOnWhileItsLinesGoToTheEventLog) {
  const std::u16string folder = u"C:\\ProgramData\\Quolin";
  std::vector<std::string> journal;
  fakes::FakeFiles fs;
  fs.add_folder(u"C:\\");
  fs.add_folder(u"C:\\ProgramData");
  fs.environment[u"ProgramData"] = u"C:\\ProgramData";
  fs.add_file(folder, "planted");
  fs.held.insert(folder);  // opened by a user without sharing deletion
  fakes::FakeClock clock;
  fakes::FakeHostLauncher launcher;
  fakes::FakeEventLog event_log{&journal};
  EventLogSink events{event_log};
  ServiceLog log{fs, events};
  Supervisor supervisor{launcher, clock, log, events};
  const auto diverted = [](const std::string& line) {
    return "event Warning 1101: log folder | C:\\ProgramData\\Quolin | not a folder | os error 32 | " + line;
  };

  launcher.script(ScriptedLaunch::launched(101));
  launcher.script(ScriptedLaunch::launched(102));
  ASSERT_TRUE(supervisor.start());
  launcher.end_host(101, HostExit{1});
  ASSERT_TRUE(supervisor.on_poll_timeout());
  clock.advance(Duration::from_secs(1));
  ASSERT_TRUE(supervisor.on_poll_timeout());
  const Lines crashed = crash(101, 1);  // its two lines, then its event
  EXPECT_EQ(journal, (Lines{"event source QuolinHost", diverted(SPAWNED_AT_START), launched("service start", 101),
                            diverted(crashed[0]), diverted(crashed[1]), crashed[2], diverted(respawned_line(1)),
                            launched("re-spawn attempt 1/5", 102)}));
  EXPECT_EQ(fs.file_content(folder), "planted");

  fs.held.clear();
  ASSERT_TRUE(supervisor.shut_down());
  ASSERT_TRUE(log.write_line("service stopped"));
  const std::string stamp = "1970-01-01 00:00:00 UTC [quolin-service] ";
  const auto moved = [&](const std::string& why, const std::string& suffix) {
    return stamp + "log folder C:\\ProgramData\\Quolin was not safe (" + why +
           "); moved it aside to Quolin.untrusted-19700101T000000Z" + suffix + "\n";
  };
  const auto count = [&](const char* n) {
    return stamp + n + " earlier lines went to the Event Log (event 1101) while the log could not be made safe\n";
  };
  EXPECT_EQ(fs.file_content(folder + u"\\service.log"), moved("not a folder", "") + count("4") + stamp +
                                                             "terminated user-session host pid=102\n" + stamp +
                                                             "service stopped\n");

  // Put back as soon as it moves, until the tries run out: the moves made on the way are said
  // too, once the log takes a line again.
  fs.nodes[folder].security.owner = "S-1-5-21-7-7-7-1013";
  int put_back = 3;
  fs.after_rename = [&](const std::u16string& from) {
    if (put_back-- > 0) fs.add_file(from, "again");
  };
  ASSERT_TRUE(log.write_line("a"));
  ASSERT_TRUE(log.write_line("b"));
  EXPECT_EQ(fs.file_content(folder + u"\\service.log"),
            moved("owner S-1-5-21-7-7-7-1013", "-2") + moved("not a folder", "-3") + moved("not a folder", "-4") +
                moved("not a folder", "-5") + count("1") + stamp + "b\n");

  fs.nodes[folder].security.owner = "S-1-5-21-7-7-7-1013";
  fs.held.insert(folder);
  event_log.fail_report = 1502;  // ERROR_LOG_FILE_FULL
  EXPECT_EQ(log.write_line("lost").error(), LogError::os(32));
  EXPECT_EQ(fs.file_content(u"C:\\ProgramData\\Quolin.untrusted-19700101T000000Z"), "planted");
}

}  // namespace
}  // namespace quolin::scenario
