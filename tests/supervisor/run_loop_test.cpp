// The service main against fakes of everything it touches (fakes/fake_service_environment.h):
// controls reach it through the registered handler, and a time-out moves the fake clock.
#include "supervisor/run_loop.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/fake_event_log.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/fake_service_environment.h"
#include "log/event_log_sink.h"
#include "platform/scm_codes.h"

namespace quolin {
namespace {

using fakes::ScriptedLaunch;
using Journal = std::vector<std::string>;

struct Fixture {
  Journal journal;
  fakes::FakeHostLauncher launcher{&journal};
  fakes::FakeEventLog event_log{&journal};
  EventLogSink sink;
  fakes::FakeServiceEnvironment env{launcher, sink, &journal};

  // The event source opens as the service starts, so the Event Log is set up before the sink.
  explicit Fixture(std::optional<std::uint32_t> source_fails = {}, std::optional<std::uint32_t> reports_fail = {})
      : sink((event_log.fail_register = source_fails, event_log.fail_report = reports_fail, event_log)) {}
};

constexpr std::uint32_t STOP = scm::SERVICE_CONTROL_STOP, SHUTDOWN = scm::SERVICE_CONTROL_SHUTDOWN,
                        SESSION_CHANGE = scm::SERVICE_CONTROL_SESSIONCHANGE;
constexpr std::uint32_t SESSION_LOGOFF = 6, SESSION_LOCK = 7;  // event types of a session change

const std::string STOP_PENDING =
    "report STOP_PENDING accepted=0 exit=0 specific=0 checkpoint=0 hint=500 type=16";
const std::string SPAWNED = "line: spawned user-session host at service start";
const std::string STOP_LINE = "line: Stop control received, shutting down";
const std::string STOPPED_LINE = "line: service stopped";
std::string stopped_with(std::uint32_t code) {
  return "report STOPPED accepted=0 exit=" + std::to_string(code) + " specific=0 checkpoint=0 hint=0 type=16";
}

// Runs the service main; one that has not ended after 200 passes is stopped, and fails the test.
void run(Fixture& f) {
  f.env.before_receive = [&f, hook = f.env.before_receive](int pass) {
    if (pass > 200) {
      ADD_FAILURE() << "the loop did not end";
      f.env.control(STOP);
    } else if (hook) {
      hook(pass);
    }
  };
  run_service_main(f.env);
}

TEST(RunLoop, StopComesAfterTheQueuedControlsAndEndsTheHostBetweenItsLinesBeforeTheStopReports) {
  struct Control {
    std::uint32_t code, event_type = 0, session = 0;
  };
  struct Case {
    const char* name;
    ScriptedLaunch launch;
    std::vector<Control> at_second_pass;
    Journal after_running;  // the journal after the RUNNING report and its line
  };
  const Case cases[] = {
      {"stop with a running host, then another stop", ScriptedLaunch::launched(101), {{STOP}, {STOP}},
       {"launch -> pid 101", SPAWNED, "event Information 1001: service start | 101 | 1", "timeout", STOP_LINE,
        "release pid 101", "line: terminated user-session host pid=101",
        "event Information 1007: 101 | service stop", STOP_PENDING, STOPPED_LINE, stopped_with(0)}},
      {"stop without a host", ScriptedLaunch::no_active_session(), {{STOP}},
       {"launch -> no active session", "line: no active user session at start \xE2\x80\x94 waiting for logon",
        "timeout", STOP_LINE, STOP_PENDING, STOPPED_LINE, stopped_with(0)}},
      {"shutdown behind session changes: the queue drains, then the channel is gone",
       ScriptedLaunch::launched(9, 2),
       {{SESSION_CHANGE, SESSION_LOCK, 2}, {SESSION_CHANGE, SESSION_LOGOFF, 2}, {SHUTDOWN}},
       {"launch -> pid 9", SPAWNED, "event Information 1001: service start | 9 | 2", "timeout",
        "line: SessionChange: reason=SessionLock session_id=2",
        "line: SessionChange: reason=SessionLogoff session_id=2", "release pid 9",
        "line: SessionLogoff: cleared child handle (process exits with session)",
        "event Information 1007: 9 | SessionLogoff",
        "line: control channel disconnected, exiting", STOP_PENDING, STOPPED_LINE, stopped_with(0)}},
  };
  // The Event Log changes nothing when its source cannot be opened (RPC_S_SERVER_UNAVAILABLE)
  // or its reports fail (ERROR_LOG_FILE_FULL): the same lines, hosts and reports.
  enum class Source { Opens, CannotOpen, ReportsFail };
  for (const Source source : {Source::Opens, Source::CannotOpen, Source::ReportsFail}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", source " + std::to_string(static_cast<int>(source)));
      Fixture f(source == Source::CannotOpen ? std::optional(1722u) : std::nullopt,
                          source == Source::ReportsFail ? std::optional(1502u) : std::nullopt);
      auto& env = f.env;
      f.launcher.script(c.launch);
      env.before_receive = [&](int pass) {
        for (const Control& k : pass == 2 ? c.at_second_pass : std::vector<Control>{}) {
          env.control(k.code, k.event_type, k.session);
        }
      };
      run(f);
      Journal want = {source == Source::CannotOpen ? "event source QuolinHost failed" : "event source QuolinHost",
                      "line: service starting", "register QuolinHost",
                      "report RUNNING accepted=129 exit=0 specific=0 checkpoint=0 hint=0 type=16",
                      "line: service running, awaiting SCM events"};
      for (const std::string& j : c.after_running) {
        if (j.rfind("event ", 0) != 0) want.push_back(j);
        else if (source != Source::CannotOpen) want.push_back(j + (source == Source::ReportsFail ? " (failed)" : ""));
      }
      EXPECT_EQ(f.journal, want);
      for (const Duration& wait : env.waits) EXPECT_EQ(wait, Duration::from_millis(200));
    }
  }
}

TEST(RunLoop, AnyFailureEndsInTheErrorExitWithNoHostLeftAndAStoppedReportCarryingItsCode) {
  struct Case {
    const char* name;
    std::size_t failing_line;  // 1-based: starting, running, spawned, Stop received, terminated, stopped
    LogError line_error;
    std::size_t failing_report;  // 1-based: RUNNING, STOP_PENDING, STOPPED
    std::uint32_t report_error;
    std::optional<std::uint32_t> registration_error;
    const char* text;
    std::optional<std::uint32_t> exit_code;  // none: without a status handle nothing can report
    std::size_t launches;
  };
  const LogError none = LogError::os(0), os5 = LogError::os(5), nothing_taken = LogError::write_zero();
  const char* const winapi = "IO error in winapi call";
  const Case cases[] = {
      {"first line, before registration", 1, os5, 0, 0, {}, "os error 5", 5, 0},
      {"running line", 2, os5, 0, 0, {}, "os error 5", 5, 0},
      {"spawned line", 3, LogError::os(3), 0, 0, {}, "os error 3", 3, 1},
      {"Stop line takes nothing", 4, nothing_taken, 0, 0, {}, "failed to write whole buffer", 29, 1},
      {"terminated line", 5, os5, 0, 0, {}, "os error 5", 5, 1},
      {"stopped line takes nothing", 6, nothing_taken, 0, 0, {}, "failed to write whole buffer", 29, 1},
      {"RUNNING report", 0, none, 1, 6, {}, winapi, 6, 0},
      {"STOP_PENDING report", 0, none, 2, 1061, {}, winapi, 1061, 1},
      {"STOPPED report", 0, none, 3, 6, {}, winapi, 6, 1},
      {"registration", 0, none, 0, 0, 1063, winapi, std::nullopt, 0},
  };
  for (const bool error_line_fails_too : {false, true}) {
    for (const Case& c : cases) {
      if (error_line_fails_too && c.failing_line == 0) continue;
      SCOPED_TRACE(std::string(c.name) + (error_line_fails_too ? ", and every line after it" : ""));
      Fixture f;
      auto& env = f.env;
      f.launcher.script(ScriptedLaunch::launched(101));
      if (c.failing_line) env.lines.fail_nth_from_now(c.failing_line, c.line_error, error_line_fails_too);
      env.scm.fail_report_at = c.failing_report;
      env.scm.report_error = c.report_error;
      env.scm.fail_registration = c.registration_error;
      env.before_receive = [&](int) { env.control(STOP); };
      run(f);

      EXPECT_TRUE(f.launcher.all_released_once()) << "a host is left running";
      EXPECT_EQ(f.launcher.launch_calls(), c.launches);
      EXPECT_EQ(std::count(f.journal.begin(), f.journal.end(), "register QuolinHost"), 1);
      // The last line tried is the error line, failing or not; the error's event follows it,
      // written or not, and the final report comes after both.
      const std::string error_line = std::string(error_line_fails_too ? "line failed: " : "line: ") +
                                     "service main exited with error: " + c.text;
      const std::string error_event = std::string("event Error 1900: ") + c.text;
      const auto last_line = std::find_if(f.journal.rbegin(), f.journal.rend(),
                                          [](const std::string& j) { return j.rfind("line", 0) == 0; });
      ASSERT_NE(last_line, f.journal.rend());
      EXPECT_EQ(*last_line, error_line);
      ASSERT_NE(last_line.base(), f.journal.end());
      EXPECT_EQ(*last_line.base(), error_event);
      EXPECT_EQ(f.journal.back(), c.exit_code ? stopped_with(*c.exit_code) : error_event);
    }
  }
}

}  // namespace
}  // namespace quolin
