// The service main against fakes of everything it touches. Controls reach it the way the
// system delivers them: through the registered handler and its context. The fake receive never
// really waits: a time-out moves the fake clock to the pass's deadline.
#include "supervisor/run_loop.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/recording_line_writer.h"
#include "service/control_handler.h"
#include "platform/scm_codes.h"

namespace quolin {
namespace {

using fakes::FakeClock;
using fakes::FakeHostLauncher;
using fakes::RecordingLineWriter;
using fakes::ScriptedLaunch;
using Journal = std::vector<std::string>;

constexpr std::uint32_t SESSION_LOCK = 7;
constexpr std::uint32_t SESSION_LOGOFF = 6;

// The Service Control Manager's side: registrations and status reports go to the journal.
class JournalScm final : public platform::ServiceControl {
 public:
  explicit JournalScm(Journal& journal) : journal_(journal) {}
  ~JournalScm() {
    // The system would keep the handler contexts until the process ends; the test frees them.
    for (void* c : contexts_) delete static_cast<ControlHandlerContext*>(c);
  }

  std::optional<std::uint32_t> fail_registration;  // error code
  std::size_t fail_report_at = 0;                   // 1-based; 0: never
  std::uint32_t report_error = 6;

  bool StartServiceCtrlDispatcherW(const char16_t*, platform::ServiceMainFunction) override {
    ADD_FAILURE() << "the service main never starts a dispatcher";
    return false;
  }

  platform::ServiceStatusHandle RegisterServiceCtrlHandlerExW(const char16_t* name,
                                                              platform::HandlerExFunction handler,
                                                              void* context) override {
    journal_.push_back("register " + std::string(name, name + std::char_traits<char16_t>::length(name)));
    if (fail_registration) {
      last_error_ = *fail_registration;
      return nullptr;
    }
    handler_ = handler;
    contexts_.push_back(context);
    return reinterpret_cast<platform::ServiceStatusHandle>(0x5150 + contexts_.size());
  }

  bool SetServiceStatus(platform::ServiceStatusHandle handle,
                        const platform::SERVICE_STATUS& s) override {
    ++reports_;
    if (handle != reinterpret_cast<platform::ServiceStatusHandle>(0x5150 + contexts_.size())) {
      ADD_FAILURE() << "status reported with a handle that registration did not give";
    }
    std::string text = "report " + state_name(s.dwCurrentState) +
                       " accepted=" + std::to_string(s.dwControlsAccepted) +
                       " exit=" + std::to_string(s.dwWin32ExitCode) +
                       " specific=" + std::to_string(s.dwServiceSpecificExitCode) +
                       " checkpoint=" + std::to_string(s.dwCheckPoint) +
                       " hint=" + std::to_string(s.dwWaitHint) + " type=" + std::to_string(s.dwServiceType);
    if (reports_ == fail_report_at) {
      journal_.push_back(text + " (fails)");
      last_error_ = report_error;
      return false;
    }
    journal_.push_back(text);
    return true;
  }

  std::uint32_t GetLastError() override { return last_error_; }
  std::uint32_t FormatMessageW(std::uint32_t, std::uint32_t, std::uint32_t, char16_t*,
                               std::uint32_t) override {
    return 0;
  }

  // Delivers a control the way the system would, on the latest registration.
  std::uint32_t control(std::uint32_t code, std::uint32_t event_type = 0, std::uint32_t session = 0) {
    unsigned char notification[8] = {8, 0, 0, 0};
    std::memcpy(notification + 4, &session, 4);
    if (contexts_.empty()) {
      ADD_FAILURE() << "control before any registration";
      return 0;
    }
    return handler_(code, event_type, notification, contexts_.back());
  }

  std::size_t registrations() const { return contexts_.size(); }

 private:
  static std::string state_name(std::uint32_t state) {
    switch (state) {
      case scm::SERVICE_RUNNING: return "RUNNING";
      case scm::SERVICE_STOP_PENDING: return "STOP_PENDING";
      case scm::SERVICE_STOPPED: return "STOPPED";
      default: return "state" + std::to_string(state);
    }
  }

  Journal& journal_;
  platform::HandlerExFunction handler_ = nullptr;
  std::vector<void*> contexts_;
  std::size_t reports_ = 0;
  std::uint32_t last_error_ = 0;
};

class TestEnvironment final : public ServiceEnvironment {
 public:
  TestEnvironment() : log_(&journal), launcher_(&journal), scm_(journal) {}

  // Called before each receive with the pass number (1-based); may deliver controls.
  std::function<void(int pass)> before_receive;
  int max_passes = 200;

  LineWriter& log() override { return log_; }
  MonotonicClock& clock() override { return clock_; }
  platform::ServiceControl& service_control() override { return scm_; }
  std::string resolve_host_path() override {
    journal.push_back("resolve host path");
    return "C:\\Program Files\\Quolin\\quolin.exe";
  }
  HostLauncher& host_launcher(std::string host_path) override {
    journal.push_back("launcher for " + host_path);
    return launcher_;
  }

  Result<ControlMessage, ReceiveError> receive(ControlReceiver& receiver, Instant deadline) override {
    ++passes;
    deadlines.push_back(deadline.saturating_since(clock_.current()));
    if (passes > max_passes) {
      ADD_FAILURE() << "the loop did not end";
      scm_.control(scm::SERVICE_CONTROL_STOP);
    } else if (before_receive) {
      before_receive(passes);
    }
    // A deadline in the past: the channel answers at once.
    auto r = receiver.receive_until(ControlReceiver::Clock::time_point{});
    if (!r && r.error() == ReceiveError::TimedOut) {
      clock_.set(deadline);
      journal.push_back("timeout");
    }
    return r;
  }

  Journal journal;
  int passes = 0;
  std::vector<Duration> deadlines;  // each pass's deadline, from the clock when it was taken

  RecordingLineWriter& lines() { return log_; }
  FakeClock& fake_clock() { return clock_; }
  FakeHostLauncher& launcher() { return launcher_; }
  JournalScm& scm() { return scm_; }

 private:
  FakeClock clock_;
  RecordingLineWriter log_;
  FakeHostLauncher launcher_;
  JournalScm scm_;
};

const std::string RUNNING = "report RUNNING accepted=129 exit=0 specific=0 checkpoint=0 hint=0 type=16";
const std::string STOP_PENDING = "report STOP_PENDING accepted=0 exit=0 specific=0 checkpoint=0 hint=500 type=16";
const std::string STOPPED = "report STOPPED accepted=0 exit=0 specific=0 checkpoint=0 hint=0 type=16";
std::string stopped_with(std::uint32_t code) {
  return "report STOPPED accepted=0 exit=" + std::to_string(code) +
         " specific=0 checkpoint=0 hint=0 type=16";
}

const Journal START_UP = {
    "line: service starting",
    "register QuolinHost",
    RUNNING,
    "line: service running, awaiting SCM events",
    "resolve host path",
    "launcher for C:\\Program Files\\Quolin\\quolin.exe",
};

Journal concat(Journal a, const Journal& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RunLoop, StopWithARunningHostReleasesItBetweenTheStopLines) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(101));
  env.before_receive = [&](int pass) {
    if (pass == 3) {
      EXPECT_EQ(env.scm().control(scm::SERVICE_CONTROL_STOP), 0u);
    }
  };
  run_service_main(env);

  EXPECT_EQ(env.journal, concat(START_UP, {
                                              "launch -> pid 101",
                                              "line: spawned user-session host at service start",
                                              "timeout",
                                              "timeout",
                                              "line: Stop control received, shutting down",
                                              "release pid 101",
                                              "line: terminated user-session host pid=101",
                                              STOP_PENDING,
                                              "line: service stopped",
                                              STOPPED,
                                          }));
  EXPECT_TRUE(env.launcher().all_released_once());
}

TEST(RunLoop, StopWithoutAHostHasNoTerminatedLine) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::no_active_session());
  env.before_receive = [&](int) { env.scm().control(scm::SERVICE_CONTROL_STOP); };
  run_service_main(env);

  EXPECT_EQ(env.journal,
            concat(START_UP, {
                                 "launch -> no active session",
                                 "line: no active user session at start \xE2\x80\x94 waiting for logon",
                                 "line: Stop control received, shutting down",
                                 STOP_PENDING,
                                 "line: service stopped",
                                 STOPPED,
                             }));
}

TEST(RunLoop, StopQueuedBehindSessionChangesComesAfterThemInOrder) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(7));
  env.before_receive = [&](int pass) {
    if (pass != 1) return;
    env.scm().control(scm::SERVICE_CONTROL_SESSIONCHANGE, SESSION_LOCK, 2);
    env.scm().control(scm::SERVICE_CONTROL_SESSIONCHANGE, SESSION_LOGOFF, 2);
    env.scm().control(scm::SERVICE_CONTROL_STOP);
    // After the stop the handler has given up its sending end: later controls go nowhere.
    EXPECT_EQ(env.scm().control(scm::SERVICE_CONTROL_SESSIONCHANGE, SESSION_LOCK, 3), 0u);
  };
  run_service_main(env);

  EXPECT_EQ(env.lines().lines(),
            (std::vector<std::string>{
                "service starting",
                "service running, awaiting SCM events",
                "spawned user-session host at service start",
                "SessionChange: reason=SessionLock session_id=2",
                "SessionChange: reason=SessionLogoff session_id=2",
                "SessionLogoff: cleared child handle (process exits with session)",
                "Stop control received, shutting down",
                "service stopped",
            }));
  EXPECT_EQ(env.passes, 3);
  EXPECT_TRUE(env.launcher().all_released_once());
}

TEST(RunLoop, ShutdownDisconnectsAndTheQueueDrainsFirst) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(9));
  env.before_receive = [&](int pass) {
    if (pass != 2) return;
    env.scm().control(scm::SERVICE_CONTROL_SESSIONCHANGE, SESSION_LOCK, 1);
    EXPECT_EQ(env.scm().control(scm::SERVICE_CONTROL_SHUTDOWN), 120u);
  };
  run_service_main(env);

  EXPECT_EQ(env.journal, concat(START_UP, {
                                              "launch -> pid 9",
                                              "line: spawned user-session host at service start",
                                              "timeout",
                                              "line: SessionChange: reason=SessionLock session_id=1",
                                              "line: control channel disconnected, exiting",
                                              "release pid 9",
                                              "line: terminated user-session host pid=9",
                                              STOP_PENDING,
                                              "line: service stopped",
                                              STOPPED,
                                          }));
}

TEST(RunLoop, EveryPassWaitsOnePollPeriod) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(1));
  env.before_receive = [&](int pass) {
    if (pass == 4) env.scm().control(scm::SERVICE_CONTROL_STOP);
  };
  run_service_main(env);
  ASSERT_EQ(env.deadlines.size(), 4u);
  for (const Duration& d : env.deadlines) EXPECT_EQ(d, Duration::from_millis(200));
}

TEST(RunLoop, HostExitIsNoticedOnlyAtTheFirstQuietPeriod) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(55));
  env.launcher().script(ScriptedLaunch::launched(56));
  env.before_receive = [&](int pass) {
    if (pass == 1) env.launcher().end_host(55, HostExit{3});
    // A stream of session changes, one per pass, holds the exit poll back.
    if (pass <= 4) env.scm().control(scm::SERVICE_CONTROL_SESSIONCHANGE, SESSION_LOCK, 1);
    if (pass == 12) env.scm().control(scm::SERVICE_CONTROL_STOP);
  };
  run_service_main(env);

  const auto& lines = env.lines().lines();
  ASSERT_GE(lines.size(), 8u);
  for (int i = 3; i < 7; ++i) EXPECT_EQ(lines[i], "SessionChange: reason=SessionLock session_id=1");
  EXPECT_EQ(lines[7], "user-session host pid=55 exited (code=0x00000003 (3), consecutive_crashes=1)");
  EXPECT_EQ(lines[8], "scheduled re-spawn in 1000 ms");
  // Passes 1-4 carry controls: no poll. Pass 5 times out and sees the exit; passes 6-10 wait out
  // the back-off with no host to poll; pass 10 re-spawns; pass 11 polls the new host.
  EXPECT_EQ(env.launcher().poll_calls(), 2u) << "polls happen only at time-outs, one each";
}

TEST(RunLoop, RespawnRunsAtTheFirstTimeOutAtOrAfterItsDeadline) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(70));
  env.launcher().script(ScriptedLaunch::launched(71));
  std::optional<Instant> exit_seen;
  std::optional<Instant> relaunched;
  env.before_receive = [&](int pass) {
    if (pass == 2) env.launcher().end_host(70, HostExit{1});
    if (!exit_seen && env.lines().lines().size() >= 5) exit_seen = env.fake_clock().current();
    if (!relaunched && env.launcher().launched().size() == 2) relaunched = env.fake_clock().current();
    if (pass == 12) env.scm().control(scm::SERVICE_CONTROL_STOP);
  };
  run_service_main(env);

  ASSERT_TRUE(exit_seen && relaunched);
  // Time-outs come every 200 ms: the one at exactly +1000 ms is the first at or after the deadline.
  EXPECT_EQ(relaunched->saturating_since(*exit_seen), Duration::from_millis(1000));
  EXPECT_EQ(env.lines().lines()[5], "re-spawned user-session host (attempt 1/5)");
}

// --- the error exit -----------------------------------------------------------------------------

struct LineFailure {
  const char* name;
  std::size_t failing_line;  // 1-based attempt number of the line that fails
  LogError error;
  std::uint32_t exit_code;
  bool registered_before;  // registration happened before the failure
};

// A full run: starting, running, spawned, Stop received, terminated, stopped.
constexpr std::uint32_t ACCESS_DENIED = 5;

TEST(RunLoop, AFailedLineEndsInTheErrorExitWithTheHostReleasedAndAStoppedReport) {
  const LineFailure cases[] = {
      {"service starting", 1, LogError::os(ACCESS_DENIED), ACCESS_DENIED, false},
      {"service running", 2, LogError::os(ACCESS_DENIED), ACCESS_DENIED, true},
      {"spawned", 3, LogError::os(3), 3, true},
      {"Stop control received", 4, LogError::write_zero(), 29, true},
      {"terminated", 5, LogError::os(ACCESS_DENIED), ACCESS_DENIED, true},
      {"service stopped", 6, LogError::write_zero(), 29, true},
  };
  for (const LineFailure& c : cases) {
    SCOPED_TRACE(c.name);
    TestEnvironment env;
    env.launcher().script(ScriptedLaunch::launched(101));
    env.lines().fail_nth_from_now(c.failing_line, c.error);
    env.before_receive = [&](int) { env.scm().control(scm::SERVICE_CONTROL_STOP); };
    run_service_main(env);

    EXPECT_TRUE(env.launcher().live().empty()) << "a host is left running";
    EXPECT_TRUE(env.launcher().all_released_once());
    ASSERT_FALSE(env.lines().lines().empty());
    EXPECT_EQ(env.lines().lines().back(), "service main exited with error: " + c.error.text());
    EXPECT_EQ(env.journal.back(), stopped_with(c.exit_code));
    // Exactly one registration either way: at start-up, or in the error exit when the first
    // line failed before it.
    EXPECT_EQ(env.scm().registrations(), 1u);
    if (!c.registered_before) {
      EXPECT_EQ(env.journal, (Journal{"line failed: service starting",
                                      "line: service main exited with error: " + c.error.text(),
                                      "register QuolinHost", stopped_with(c.exit_code)}));
    }
  }
}

TEST(RunLoop, FailedLineRightAfterALaunchLeavesNoHostRunning) {
  TestEnvironment env;
  env.launcher().script(ScriptedLaunch::launched(5));
  env.lines().fail_nth_from_now(3, LogError::os(ACCESS_DENIED));
  run_service_main(env);
  EXPECT_EQ(env.launcher().released(), std::vector<std::uint32_t>{5});
  EXPECT_EQ(env.passes, 0) << "the loop is never entered";
}

struct ReportFailure {
  const char* name;
  std::size_t failing_report;
  std::uint32_t error;
};

TEST(RunLoop, AFailedReportEndsInTheErrorExitWithItsCode) {
  const ReportFailure cases[] = {{"running", 1, 6}, {"stop pending", 2, 1061}, {"stopped", 3, 6}};
  for (const ReportFailure& c : cases) {
    SCOPED_TRACE(c.name);
    TestEnvironment env;
    env.launcher().script(ScriptedLaunch::launched(8));
    env.scm().fail_report_at = c.failing_report;
    env.scm().report_error = c.error;
    env.before_receive = [&](int) { env.scm().control(scm::SERVICE_CONTROL_STOP); };
    run_service_main(env);

    EXPECT_TRUE(env.launcher().live().empty());
    EXPECT_EQ(env.lines().lines().back(), "service main exited with error: IO error in winapi call");
    EXPECT_EQ(env.journal.back(), stopped_with(c.error));
  }
}

TEST(RunLoop, RunningReportFailureLaunchesNothing) {
  TestEnvironment env;
  env.scm().fail_report_at = 1;
  run_service_main(env);
  EXPECT_EQ(env.launcher().launch_calls(), 0u);
  EXPECT_EQ(env.journal, (Journal{"line: service starting", "register QuolinHost",
                                  RUNNING + " (fails)",
                                  "line: service main exited with error: IO error in winapi call",
                                  stopped_with(6)}));
}

TEST(RunLoop, RegistrationFailureMakesNoReportAtAll) {
  TestEnvironment env;
  env.scm().fail_registration = 1063;
  run_service_main(env);
  EXPECT_EQ(env.journal, (Journal{"line: service starting", "register QuolinHost",
                                  "line: service main exited with error: IO error in winapi call"}));
}

TEST(RunLoop, ErrorLineThatFailsTooIsIgnored) {
  TestEnvironment env;
  env.lines().fail_nth_from_now(1, LogError::os(ACCESS_DENIED), /*sticky=*/true);
  run_service_main(env);
  EXPECT_EQ(env.journal, (Journal{"line failed: service starting",
                                  "line failed: service main exited with error: os error 5",
                                  "register QuolinHost", stopped_with(ACCESS_DENIED)}));
}

TEST(RunLoop, ServiceArgumentsAreConvertedAndIgnored) {
  char16_t name[] = u"QuolinHost";
  char16_t lone[] = {u'a', char16_t(0xD800), u'\0'};
  char16_t* argv[] = {name, lone, nullptr};
  ignore_service_arguments(3, argv);  // must neither crash nor read past the array
  ignore_service_arguments(0, nullptr);
  SUCCEED();
}

}  // namespace
}  // namespace quolin
