// Scenarios for the Supervisor: a table of events, each with the exact lines it must write and
// the Event Log events it must report, in order. Events that are not Supervisor operations
// (clock, host, launch script) write and report nothing. After
// every event the harness checks what holds whatever the policy decides (check_invariants), and
// at its end that every scripted launch was used.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/recording_line_writer.h"
#include "log/event_log_sink.h"
#include "supervisor/supervisor.h"

namespace quolin::scenario {

using fakes::ScriptedLaunch;
class Harness;
// A Supervisor operation gives its status; any other event gives none.
using Event = std::function<std::optional<Status<LogError>>(Harness&)>;

struct Step {
  Event event;
  // Exactly what this event writes, in order: lines as they are, each report to the Event Log
  // as "event <type> <ID>: <strings joined by " | ">" (see report()) after the line it follows.
  std::vector<std::string> lines = {};
  bool fatal = false;  // the operation meets a line armed to fail: its lines are not compared
};

// What the failing log reports (ERROR_DISK_FULL); the Supervisor must hand back exactly this.
inline LogError injected_error() { return LogError::os(112); }

// One report to the Event Log, as a step states it.
inline std::string report(const char* type, int id, std::initializer_list<std::string> strings) {
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

inline Event start() { return [](Harness& h) { return std::optional(h.supervisor.start()); }; }
inline Event change(std::string reason, std::uint32_t id = 1) {
  return [=](Harness& h) { return std::optional(h.supervisor.on_session_change(reason, id)); };
}
inline Event poll() { return [](Harness& h) { return std::optional(h.supervisor.on_poll_timeout()); }; }
inline Event shut_down() { return [](Harness& h) { return std::optional(h.supervisor.shut_down()); }; }
inline Event abandon() { return [](Harness& h) { h.supervisor.abandon(); return std::nullopt; }; }
inline Event after(Duration d) { return [=](Harness& h) { h.clock.advance(d); return std::nullopt; }; }
inline Event after_ms(std::uint64_t ms) { return after(Duration::from_millis(ms)); }
inline Event clock_steps_back_ms(std::uint64_t ms) {
  return [=](Harness& h) {
    h.clock.set(Instant{h.clock.current().saturating_since(Instant{Duration::from_millis(ms)})});
    return std::nullopt;
  };
}
inline Event host_exits(std::optional<std::uint32_t> code) {  // the running host ends
  return [=](Harness& h) {
    EXPECT_FALSE(h.launcher.live().empty()) << "no host is running";
    if (!h.launcher.live().empty()) h.launcher.end_host(h.launcher.live().back(), HostExit{code});
    return std::nullopt;
  };
}
inline Event next_launch(ScriptedLaunch l) {
  return [=](Harness& h) { h.launcher.script(l); return std::nullopt; };
}
inline Event next_launch_ok(std::uint32_t pid) { return next_launch(ScriptedLaunch::launched(pid)); }
inline Event next_launch_no_session() { return next_launch(ScriptedLaunch::no_active_session()); }
inline Event next_launch_fails(std::string text) { return next_launch(ScriptedLaunch::failed(text)); }

}  // namespace quolin::scenario
