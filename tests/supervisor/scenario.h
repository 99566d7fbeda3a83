// Scenarios for the Supervisor: a table of events, each with the exact lines it must write.
//
//   Harness h;
//   h.run({
//       {next_launch_ok(101)},
//       {start(), {"spawned user-session host at service start"}},
//       {after_ms(1500)},
//       {host_exits(1)},
//       {poll(), {"user-session host pid=101 exited (code=0x00000001 (1), consecutive_crashes=1)",
//                 "scheduled re-spawn in 1000 ms"}},
//   });
//
// Events that are not Supervisor operations (clock, host, script and log settings) write
// nothing. After every operation the harness also checks what must always hold: a host and a
// deadline are never held together, and the launcher's running hosts are exactly the one the
// Supervisor holds. At the end every scripted launch must have been used.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/recording_line_writer.h"
#include "supervisor/supervisor.h"

namespace quolin::scenario {

using fakes::FakeClock;
using fakes::FakeHostLauncher;
using fakes::RecordingLineWriter;
using fakes::ScriptedLaunch;

struct Start {};
struct Change {
  std::string reason;
  std::uint32_t session_id = 1;
};
struct Poll {};
struct ShutDown {};
struct Abandon {};
struct Advance {
  Duration by;
};
struct StepBack {
  Duration by;
};
struct HostEnds {  // the host the launcher runs now ends; the next poll sees it
  std::optional<std::uint32_t> code;
};
struct NextLaunch {
  ScriptedLaunch outcome;
};
struct FailLine {  // the nth line written from now on fails with injected_error()
  std::size_t nth;
};

using Event = std::variant<Start, Change, Poll, ShutDown, Abandon, Advance, StepBack, HostEnds,
                           NextLaunch, FailLine>;

inline Event start() { return Start{}; }
inline Event change(std::string reason, std::uint32_t session_id = 1) {
  return Change{std::move(reason), session_id};
}
inline Event poll() { return Poll{}; }
inline Event shut_down() { return ShutDown{}; }
inline Event abandon() { return Abandon{}; }
inline Event after(Duration d) { return Advance{d}; }
inline Event after_ms(std::uint64_t ms) { return Advance{Duration::from_millis(ms)}; }
inline Event clock_steps_back_ms(std::uint64_t ms) { return StepBack{Duration::from_millis(ms)}; }
inline Event host_exits(std::uint32_t code) { return HostEnds{code}; }
inline Event host_exits_unavailable() { return HostEnds{std::nullopt}; }
inline Event next_launch_ok(std::uint32_t pid) { return NextLaunch{ScriptedLaunch::launched(pid)}; }
inline Event next_launch_no_session() { return NextLaunch{ScriptedLaunch::no_active_session()}; }
inline Event next_launch_fails(std::string text) {
  return NextLaunch{ScriptedLaunch::failed(std::move(text))};
}
inline Event fail_line(std::size_t nth) { return FailLine{nth}; }

// What the failing log reports (ERROR_DISK_FULL); the Supervisor must hand back exactly this.
inline LogError injected_error() { return LogError::os(112); }

struct Step {
  Event event;
  std::vector<std::string> lines = {};  // exactly what this event writes, in order
  bool fatal = false;                   // the operation returns injected_error()
};

inline std::string describe(const Event& e) {
  struct Describe {
    std::string operator()(const Start&) const { return "start"; }
    std::string operator()(const Change& c) const {
      return "session change " + c.reason + " " + std::to_string(c.session_id);
    }
    std::string operator()(const Poll&) const { return "poll"; }
    std::string operator()(const ShutDown&) const { return "shut_down"; }
    std::string operator()(const Abandon&) const { return "abandon"; }
    std::string operator()(const Advance& a) const {
      return "clock +" + std::to_string(a.by.secs) + "s" + std::to_string(a.by.nanos) + "ns";
    }
    std::string operator()(const StepBack& a) const {
      return "clock -" + std::to_string(a.by.secs) + "s" + std::to_string(a.by.nanos) + "ns";
    }
    std::string operator()(const HostEnds& h) const {
      return "host exits " + (h.code ? std::to_string(*h.code) : std::string("<unavailable>"));
    }
    std::string operator()(const NextLaunch& n) const {
      switch (n.outcome.kind) {
        case ScriptedLaunch::Kind::Launched:
          return "next launch gives pid " + std::to_string(n.outcome.pid);
        case ScriptedLaunch::Kind::NoActiveSession:
          return "next launch finds no console session";
        case ScriptedLaunch::Kind::Failed:
          return "next launch fails: " + n.outcome.text;
      }
      return "next launch";
    }
    std::string operator()(const FailLine& f) const {
      return "line " + std::to_string(f.nth) + " from now fails";
    }
  };
  return std::visit(Describe{}, e);
}

inline Instant t0() { return Instant{Duration::from_secs(1'000'000)}; }

class Harness {
 public:
  // Declared first, destroyed last: the fakes outlive the Supervisor, whose destructor may
  // still release a host.
  std::vector<std::string> journal;
  FakeClock clock{t0(), &journal};
  FakeHostLauncher launcher{&journal};
  RecordingLineWriter log{&journal};
  Supervisor supervisor{launcher, clock, log};

  void run(const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i + 1) + ": " + describe(steps[i].event));
      apply(steps[i]);
    }
    EXPECT_EQ(launcher.scripted_left(), 0u) << "a scripted launch never happened";
  }

  std::vector<std::string> lines_since(std::size_t from) const {
    const auto& all = log.lines();
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
  }

 private:
  void apply(const Step& step) {
    const std::size_t before = log.lines().size();
    std::optional<Status<LogError>> status;
    bool is_operation = true;
    std::visit(
        [&](const auto& e) {
          using E = std::decay_t<decltype(e)>;
          if constexpr (std::is_same_v<E, Start>) {
            status = supervisor.start();
          } else if constexpr (std::is_same_v<E, Change>) {
            status = supervisor.on_session_change(e.reason, e.session_id);
          } else if constexpr (std::is_same_v<E, Poll>) {
            status = supervisor.on_poll_timeout();
          } else if constexpr (std::is_same_v<E, ShutDown>) {
            status = supervisor.shut_down();
          } else if constexpr (std::is_same_v<E, Abandon>) {
            supervisor.abandon();
          } else {
            is_operation = false;
            if constexpr (std::is_same_v<E, Advance>) {
              clock.advance(e.by);
            } else if constexpr (std::is_same_v<E, StepBack>) {
              clock.set(Instant{clock.current().saturating_since(Instant{e.by})});
            } else if constexpr (std::is_same_v<E, HostEnds>) {
              const auto live = launcher.live();
              if (live.empty()) {
                ADD_FAILURE() << "no host is running";
              } else {
                launcher.end_host(live.back(), HostExit{e.code});
              }
            } else if constexpr (std::is_same_v<E, NextLaunch>) {
              launcher.script(e.outcome);
            } else if constexpr (std::is_same_v<E, FailLine>) {
              log.fail_nth_from_now(e.nth, injected_error());
            }
          }
        },
        step.event);

    EXPECT_EQ(lines_since(before), step.lines);
    if (status) {
      if (step.fatal) {
        EXPECT_FALSE(status->ok()) << "the failed line was not reported";
        if (!status->ok()) {
          EXPECT_EQ(status->error(), injected_error());
        }
      } else {
        EXPECT_TRUE(status->ok()) << "unexpected error, code " << status->error().code;
      }
    } else {
      EXPECT_FALSE(step.fatal) << "only an operation can fail";
    }
    if (is_operation) check_ownership();
  }

  void check_ownership() {
    EXPECT_FALSE(supervisor.holds_host() && supervisor.respawn_deadline())
        << "a host and a re-spawn deadline are held together";
    const auto live = launcher.live();
    if (supervisor.holds_host()) {
      EXPECT_EQ(live, std::vector<std::uint32_t>{*supervisor.host_pid()});
    } else {
      EXPECT_TRUE(live.empty()) << "a host runs that the Supervisor no longer holds";
    }
  }
};

}  // namespace quolin::scenario
