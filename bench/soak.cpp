// The soak run: millions of random events through the Supervisor, and through the whole run
// loop (control handler, channel, service main), with the Supervisor's invariants checked after
// every event and the memory measured along the way.
//
//   service_soak [--events=10000000] [--seed=N] [--figures=path.tsv]
//
// Two parts, each of --events events:
//   supervisor: the Supervisor alone, driven by random session changes and polls over a clock
//     that jumps by random amounts, with hosts that exit with random codes, launches that
//     succeed, find nobody or fail at random, and now and then a log line that cannot be
//     written (after which the Supervisor is abandoned and a new one started, as a restarted
//     service would). After every event its state is compared with a reference model of the
//     policy, and these are checked on their own: a host and a re-spawn deadline are never held
//     together; at most one host is held; nothing is launched from waiting for logon except on
//     a logon-class change; the crash count only moves by its rules. The shared
//     FakeHostLauncher finds a host released twice or never, or a handle closed outside release.
//   run loop: run_service_main for the whole run, fed through the real control handler and
//     channel (session-change controls with a notification record, and time-outs), checked
//     against the same model from what the launcher and the log see, ended by a stop control.
// Memory: the live heap blocks (allocations minus releases) and the resident set size after 1M
// events and at the end; neither may grow.
//
// Prints its figures and, with --figures, writes them as tab-separated rows (name, value, unit,
// target, verdict). Exits 1 on any violated invariant (the first few are printed), 2 when a
// figure misses its target.
#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_counter.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/fake_service_environment.h"
#include "fakes/recording_line_writer.h"
#include "launcher/host_launcher.h"
#include "platform/scm_codes.h"
#include "service/control_message.h"
#include "log/event_log_sink.h"
#include "supervisor/run_loop.h"
#include "supervisor/supervisor.h"

namespace quolin::soak {
namespace {

// ---- randomness and failures ----

// splitmix64: small, fast and good enough to pick events.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
  bool chance(std::uint32_t in) { return below(in) == 0; }  // 1 in `in`

 private:
  std::uint64_t state_;
};

struct Violations {
  std::uint64_t count = 0;
  void report(std::uint64_t event, const char* part, const std::string& what) {
    if (++count <= 10) std::fprintf(stderr, "VIOLATION (%s, event %" PRIu64 "): %s\n", part, event, what.c_str());
  }
};

// ---- memory ----

std::uint64_t resident_kib() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int read = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  return read == 2 ? resident * 4 : 0;  // 4 KiB pages
}

struct MemorySample {
  std::uint64_t live_blocks = 0;
  std::uint64_t resident_kib = 0;
};

MemorySample sample_memory() {
  return {alloc_counter::allocations() - alloc_counter::deallocations(), resident_kib()};
}

// ---- the outside world of the Supervisor ----

enum class LaunchKind { Launched, NoActiveSession, Failed };

// The shared fakes in the modes that keep no history, so that they do not grow. The launcher
// itself finds a host released twice or never, a handle closed outside release, a poll of a
// host it does not hold and a launch nobody scripted; the soak scripts one launch outcome per
// event, so a second launch within one event is a finding too.
class World {
 public:
  // The fakes are the caller's: the Supervisor's own, or those of the service environment.
  World(fakes::FakeHostLauncher& launcher, fakes::FakeClock& clock, fakes::RecordingLineWriter& log)
      : launcher(launcher), clock(clock), log(log) {
    launcher.record = false;
    log.keep = false;
  }

  fakes::FakeHostLauncher& launcher;
  fakes::FakeClock& clock;
  fakes::RecordingLineWriter& log;

  // Before an event: what a launch during it gives, and whether the host held so far ends now
  // (decided once per event while it runs). Returns what a poll of the held host reports.
  std::optional<HostExit> prepare(Random& r, LaunchKind next, bool refuse_a_line) {
    next_ = next;
    switch (next) {
      case LaunchKind::Launched: launcher.script(fakes::ScriptedLaunch::launched(serial_ + 1)); break;
      case LaunchKind::NoActiveSession: launcher.script(fakes::ScriptedLaunch::no_active_session()); break;
      case LaunchKind::Failed:
        launcher.script(fakes::ScriptedLaunch::failed("CreateProcessAsUserW: Access is denied. (0x80070005)"));
        break;
    }
    if (refuse_a_line) log.fail_nth_from_now(1, LogError::os(112));
    const std::optional<std::uint32_t> pid = live();
    if (!pid) return std::nullopt;
    if (*pid != exit_pid_) {
      exit_pid_ = *pid;
      exit_.reset();
    }
    if (!exit_) {
      exit_ = random_exit(r);
      if (exit_) launcher.end_host(*pid, *exit_);
    }
    return exit_;
  }

  // After an event: counts the host a launch took, and drops an outcome no launch took, so
  // that nothing is left over between events (the memory samples fall there).
  void settle() {
    if (next_ == LaunchKind::Launched && launcher.scripted_left() == 0) ++serial_;
    launcher.clear_script();
    log.stop_failing();
  }

  // The host the launcher holds, if any; a second one is a violation of its own.
  std::optional<std::uint32_t> live() const {
    const std::vector<std::uint32_t> hosts = launcher.live();
    if (hosts.empty()) return std::nullopt;
    return hosts.back();
  }
  std::size_t live_count() const { return launcher.live().size(); }

  std::uint64_t hosts() const { return serial_; }
  std::uint64_t lines() const { return log.written(); }
  std::uint64_t refused() const { return log.attempts() - log.written(); }

 private:
  static std::optional<HostExit> random_exit(Random& r) {
    if (!r.chance(3)) return std::nullopt;  // still running
    switch (r.below(4)) {
      case 0: return HostExit{0u};
      case 1: return HostExit{std::nullopt};
      case 2: return HostExit{1u};
      default: return HostExit{static_cast<std::uint32_t>(r.next())};
    }
  }

  LaunchKind next_ = LaunchKind::Launched;
  std::uint32_t serial_ = 0;
  std::uint32_t exit_pid_ = 0;
  std::optional<HostExit> exit_;
};

// ---- the reference model of the policy ----

enum class ReasonClass { Logon, Logoff, None };

ReasonClass classify(std::string_view reason) {
  auto has = [&](SessionReason r) { return reason.find(session_reason_name(r)) != std::string_view::npos; };
  if (has(SessionReason::SessionLogon) || has(SessionReason::ConsoleConnect)) return ReasonClass::Logon;
  if (has(SessionReason::SessionLogoff) || has(SessionReason::ConsoleDisconnect)) return ReasonClass::Logoff;
  return ReasonClass::None;
}

// The policy, written out a second time from its rules, tracking what the Supervisor should
// hold and how many launches and lines each event should cause. Its numbers (the back-off
// table, the crash budget, the two time limits) are the Supervisor's own: the model checks the
// decisions, not the constants.
struct Model {
  static constexpr std::uint32_t BUDGET = Supervisor::CRASH_BUDGET;

  bool host = false;
  Instant launched_at{};
  // The session of the latest launch: the world launches every host into session 1.
  std::optional<std::uint32_t> host_session;
  std::optional<Instant> deadline;
  std::uint32_t count = 0;
  std::uint64_t launches = 0;
  std::uint64_t lines = 0;
  // How often each path of the policy was taken, to show that the run reached them all.
  struct Paths {
    std::uint64_t clean_exits = 0, crashes = 0, budget_exceeded = 0, respawns = 0, respawns_deferred = 0,
                  respawns_failed = 0, stable_runs = 0;
  } paths;

  static std::uint32_t bump(std::uint32_t n) { return n == 0xFFFFFFFFu ? n : n + 1; }
  static Duration delay(std::uint32_t count) {
    const std::uint32_t last = static_cast<std::uint32_t>(Supervisor::RESPAWN_DELAYS.size() - 1);
    return Supervisor::RESPAWN_DELAYS[std::min(count - 1, last)];
  }

  // A launch with the given outcome; true when a host was recorded.
  bool launch(LaunchKind kind, Instant now) {
    ++launches;
    ++lines;  // every outcome writes one line
    if (kind != LaunchKind::Launched) return false;
    host = true;
    host_session = 1;
    launched_at = now;
    deadline.reset();
    return true;
  }

  void start(LaunchKind kind, Instant now) {
    count = 0;
    deadline.reset();
    launch(kind, now);
  }

  void session_change(std::string_view reason, std::uint32_t session, LaunchKind kind, Instant now) {
    ++lines;
    switch (classify(reason)) {
      case ReasonClass::Logon:
        count = 0;
        deadline.reset();
        if (host) {
          ++lines;
        } else {
          launch(kind, now);
        }
        break;
      case ReasonClass::Logoff:
        if (host_session && session != *host_session) {  // another session's: one line, no change
          ++lines;
          break;
        }
        if (host) ++lines;
        host = false;
        count = 0;
        deadline.reset();
        break;
      case ReasonClass::None:
        break;
    }
  }

  void poll(const std::optional<HostExit>& exit, LaunchKind kind, Instant now) {
    if (host) {
      if (!exit) return;
      const Duration run = now.saturating_since(launched_at);
      host = false;
      if (exit->code == 0u && run < Supervisor::CLEAN_EXIT_WINDOW) {
        ++paths.clean_exits;
        count = 0;
        deadline.reset();
        ++lines;
        return;
      }
      ++paths.crashes;
      const bool stable = run >= Supervisor::STABLE_RUN_TIME;
      if (stable) ++paths.stable_runs;
      count = stable ? 1 : bump(count);
      ++lines;
      if (count > BUDGET) {
        ++paths.budget_exceeded;
        deadline.reset();
        ++lines;
        return;
      }
      deadline = now.plus(delay(count));
      ++lines;
      // The shortest delay is a second: the re-spawn never falls in the same poll.
      return;
    }
    if (!deadline || now < *deadline) return;
    if (launch(kind, now)) {
      ++paths.respawns;
      return;
    }
    if (kind == LaunchKind::NoActiveSession) {
      ++paths.respawns_deferred;
      deadline.reset();
      return;
    }
    ++paths.respawns_failed;
    count = bump(count);
    if (count > BUDGET) {
      deadline.reset();
    } else {
      deadline = now.plus(delay(count));
    }
  }
};

// ---- random events ----

// The eleven reasons by their event types, named as the control handler names them.
std::string_view random_reason(Random& r) {
  return session_reason_name(*session_reason_from_event_type(1 + r.below(11)));
}

Duration random_step(Random& r) {
  switch (r.below(8)) {
    case 0: return Duration{};
    case 1: case 2: case 3: return Duration::from_millis(150 + r.below(100));
    case 4: return Duration::from_millis(r.below(6000));
    case 5: return Duration::from_millis(r.below(35000));
    case 6: return Duration::from_millis(4990 + r.below(20));
    default: return Duration::from_millis(55000 + r.below(10000));
  }
}

// Now and then the clock lands exactly on a boundary of the policy: 5 s or 60 s after the
// launch (or a nanosecond short of it), or the re-spawn deadline (or just short of it).
Duration step_to_boundary(Random& r, Instant now, const Model& m) {
  std::optional<Instant> target;
  const bool just_short = r.chance(2);
  if (m.host) {
    target = m.launched_at.plus(r.chance(2) ? Supervisor::CLEAN_EXIT_WINDOW : Supervisor::STABLE_RUN_TIME);
  } else if (m.deadline) {
    target = m.deadline;
  }
  if (!target) return Duration{};
  Duration d = target->since_origin;
  if (just_short && (d.secs > 0 || d.nanos > 0)) {
    d = d.nanos > 0 ? Duration{d.secs, d.nanos - 1} : Duration{d.secs - 1, NANOS_PER_SEC - 1};
  }
  return Instant{d}.saturating_since(now);
}

Duration next_step(Random& r, Instant now, const Model& m) {
  return r.chance(4) ? step_to_boundary(r, now, m) : random_step(r);
}

LaunchKind random_launch(Random& r) {
  const std::uint32_t x = r.below(10);
  return x < 7 ? LaunchKind::Launched : x < 9 ? LaunchKind::Failed : LaunchKind::NoActiveSession;
}


// ---- part 1: the Supervisor alone ----

struct PartResult {
  std::uint64_t events = 0;
  std::uint64_t hosts = 0;
  std::uint64_t restarts = 0;
  double seconds = 0;
  MemorySample at_1m;
  MemorySample at_end;
  Model::Paths paths;
};

// What holds after every event in both parts: at most one host, and the one the launcher holds
// is the one the model expects.
void check_world(const World& w, const Model& m, std::uint64_t launch_base, std::uint64_t line_base,
                 std::uint64_t event, const char* part, Violations& v) {
  const std::size_t live = w.live_count();
  if (live > 1) v.report(event, part, std::to_string(live) + " hosts held at once");
  if ((live == 1) != m.host) v.report(event, part, "host held: model says " + std::to_string(m.host));
  if (w.launcher.launch_calls() - launch_base != m.launches) v.report(event, part, "launches differ from the model");
  if (w.lines() - line_base != m.lines) v.report(event, part, "number of lines differs from the model");
}

void check_state(const Supervisor& s, const Model& m, const World& w, std::uint64_t event, Violations& v) {
  const char* part = "supervisor";
  if (s.holds_host() && s.respawn_deadline()) v.report(event, part, "a host and a re-spawn deadline held together");
  if (s.host_pid() != w.live()) v.report(event, part, "held host and the launcher's live host disagree");
  if (s.respawn_deadline() != m.deadline) v.report(event, part, "re-spawn deadline differs from the model");
  if (s.consecutive_crashes() != m.count) {
    v.report(event, part, "count " + std::to_string(s.consecutive_crashes()) + ", model " + std::to_string(m.count));
  }
}

PartResult soak_supervisor(std::uint64_t events, std::uint64_t seed, Violations& v) {
  const char* part = "supervisor";
  Random r(seed);
  fakes::FakeHostLauncher launcher;
  fakes::FakeClock clock;
  fakes::RecordingLineWriter log;
  World world(launcher, clock, log);
  fakes::FakeEventLog event_log;
  event_log.keep = false;
  EventLogSink sink(event_log);
  std::optional<Supervisor> supervisor;
  Model model;
  std::uint64_t line_base = 0;
  std::uint64_t launch_base = 0;
  PartResult result;

  auto begin = [&] {
    supervisor.emplace(world.launcher, world.clock, world.log, sink);
    const Model::Paths paths = model.paths;
    model = Model{};
    model.paths = paths;
    line_base = world.lines();
    launch_base = world.launcher.launch_calls();
    const LaunchKind kind = random_launch(r);
    world.prepare(r, kind, false);
    model.start(kind, world.clock.now());
    if (!supervisor->start().ok()) v.report(0, part, "start failed without a failing line");
    world.settle();
  };
  begin();

  const auto t0 = std::chrono::steady_clock::now();
  for (std::uint64_t e = 1; e <= events; ++e) {
    world.clock.advance(next_step(r, world.clock.now(), model));
    const LaunchKind kind = random_launch(r);
    // One event in 5000 meets a log line that cannot be written.
    const std::optional<HostExit> exit = world.prepare(r, kind, r.chance(5000));
    const std::uint64_t refused_before = world.refused();

    const bool waiting = !supervisor->holds_host() && !supervisor->respawn_deadline();
    const std::uint32_t count_before = supervisor->consecutive_crashes();
    const std::uint64_t launches_before = world.launcher.launch_calls();
    const Instant now = world.clock.now();

    Status<LogError> status;
    bool logon = false;
    bool logoff = false;
    bool classless = false;
    bool was_poll = false;
    if (r.below(3) == 0) {
      std::string reason(random_reason(r));
      if (r.chance(50)) {  // both kinds in one name: a logon
        reason = std::string(session_reason_name(SessionReason::SessionLogoff)) + "+" +
                 std::string(session_reason_name(SessionReason::ConsoleConnect));
      }
      const ReasonClass c = classify(reason);
      logon = c == ReasonClass::Logon;
      logoff = c == ReasonClass::Logoff;
      classless = c == ReasonClass::None;
      // Half of the changes concern the host's session; the others any session at all.
      const std::uint32_t session = r.below(2) == 0 ? 1u : static_cast<std::uint32_t>(r.next());
      model.session_change(reason, session, kind, now);
      status = supervisor->on_session_change(reason, session);
    } else {
      was_poll = true;
      model.poll(exit, kind, now);
      status = supervisor->on_poll_timeout();
    }
    const bool refused = world.refused() > refused_before;
    world.settle();

    const bool launched_now = world.launcher.launch_calls() > launches_before;
    if (waiting && launched_now && !logon) v.report(e, part, "launch from waiting for logon without a logon-class change");

    if (!status.ok()) {
      // The model does not follow a failed operation: the Supervisor is finished with then.
      if (!refused) v.report(e, part, "an operation failed although every line could be written");
      if (world.live()) v.report(e, part, "a host is still held after a failed line");
      supervisor->abandon();
      if (world.live()) v.report(e, part, "a host is still held after abandon");
      ++result.restarts;
      begin();
      continue;
    }
    if (refused) v.report(e, part, "a refused line did not fail the operation");

    // The count moves only by its rules.
    const std::uint32_t count = supervisor->consecutive_crashes();
    if (count != count_before) {
      bool allowed = false;
      if (logon || logoff) allowed = count == 0;
      if (was_poll) allowed = count == 0 || count == 1 || count == Model::bump(count_before);
      if (classless) allowed = false;
      if (!allowed) {
        v.report(e, part, "count moved from " + std::to_string(count_before) + " to " + std::to_string(count));
      }
    }
    check_world(world, model, launch_base, line_base, e, part, v);
    check_state(*supervisor, model, world, e, v);

    if (e == 1'000'000) result.at_1m = sample_memory();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  if (!supervisor->shut_down().ok()) v.report(events, part, "shut_down failed");
  supervisor.reset();
  if (world.live()) v.report(events, part, "a host outlived the Supervisor");
  if (world.launcher.release_calls() != world.hosts()) v.report(events, part, "hosts launched and released differ");
  result.events = events;
  result.hosts = world.hosts();
  result.paths = model.paths;
  result.at_end = sample_memory();
  return result;
}

// ---- part 2: the run loop, through the control handler and the channel ----

// The shared fake environment, driven by one random event before each receive. The launch that
// start() makes right after asking for the launcher is prepared, and modelled, before the run.
class RunLoopSoak {
 public:
  RunLoopSoak(std::uint64_t events, std::uint64_t seed, Violations& v)
      : events_(events), random_(seed), violations_(v) {
    event_log_.keep = false;
    env_.record_waits = false;
    env_.time_out_moves_clock = false;  // each event moves it
    env_.before_receive = [this](int) { next_event(); };
    const LaunchKind kind = random_launch(random_);
    world_.prepare(random_, kind, false);
    model_.start(kind, world_.clock.now());
  }

  void run() { run_service_main(env_); }

  PartResult result() const {
    PartResult r;
    r.events = event_;
    r.hosts = world_.hosts();
    r.seconds = seconds_;
    r.at_1m = at_1m_;
    r.at_end = at_end_;
    r.paths = model_.paths;
    return r;
  }
  const World& world() const { return world_; }
  std::uint32_t last_state() const { return env_.scm.statuses.empty() ? 0 : env_.scm.statuses.back().dwCurrentState; }

 private:
  void next_event() {
    world_.settle();
    if (event_ == 0) {
      // The start-up lines: "service starting", "service running, awaiting SCM events".
      line_base_ = world_.lines() - model_.lines;
      t0_ = std::chrono::steady_clock::now();
    } else {
      check();
    }
    if (event_ == 1'000'000) at_1m_ = sample_memory();
    if (event_ == events_) {
      seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
      at_end_ = sample_memory();
      deliver(1, 0, 0);  // stop
      return;
    }
    ++event_;
    world_.clock.advance(next_step(random_, world_.clock.now(), model_));
    const LaunchKind kind = random_launch(random_);
    const std::optional<HostExit> exit = world_.prepare(random_, kind, false);
    const Instant now = world_.clock.now();
    waiting_ = !model_.host && !model_.deadline;
    launches_before_ = world_.launcher.launch_calls();
    logon_ = false;

    if (random_.below(3) == 0) {
      // A session-change control with its notification record, as the system delivers it.
      const std::uint32_t event_type = 1 + random_.below(11);
      const std::uint32_t session = random_.below(2) == 0 ? 1u : static_cast<std::uint32_t>(random_.next());
      const std::string_view reason = session_reason_name(*session_reason_from_event_type(event_type));
      logon_ = classify(reason) == ReasonClass::Logon;
      model_.session_change(reason, session, kind, now);
      deliver(14, event_type, session);
    } else {
      model_.poll(exit, kind, now);
    }
    // The handler has queued the control (or nothing): the receive hands it over, or times out
    // at once.
  }

  void check() {
    const char* part = "run loop";
    const std::uint64_t launched = world_.launcher.launch_calls() - launches_before_;
    if (waiting_ && launched > 0 && !logon_) violations_.report(event_, part, "launch from waiting for logon without a logon-class change");
    check_world(world_, model_, 0, line_base_, event_, part, violations_);
  }

  void deliver(std::uint32_t control, std::uint32_t event_type, std::uint32_t session) {
    if (env_.scm.registered_handler == nullptr) {
      violations_.report(event_, "run loop", "no control handler registered");
      return;
    }
    const std::uint32_t reply = env_.control(control, event_type, session);
    if (reply != 0) violations_.report(event_, "run loop", "control answered " + std::to_string(reply));
  }

  std::uint64_t events_;
  Random random_;
  Violations& violations_;
  fakes::FakeHostLauncher launcher_;
  fakes::FakeEventLog event_log_;
  EventLogSink sink_{event_log_};
  fakes::FakeServiceEnvironment env_{launcher_, sink_};
  World world_{launcher_, env_.fake_clock, env_.lines};
  Model model_;
  std::uint64_t event_ = 0;
  std::uint64_t line_base_ = 0;
  std::uint64_t launches_before_ = 0;
  bool waiting_ = false;
  bool logon_ = false;
  std::chrono::steady_clock::time_point t0_;
  double seconds_ = 0;
  MemorySample at_1m_;
  MemorySample at_end_;
};

PartResult soak_run_loop(std::uint64_t events, std::uint64_t seed, Violations& v) {
  RunLoopSoak soak(events, seed, v);
  soak.run();
  if (soak.world().live()) v.report(events, "run loop", "a host outlived the service main");
  if (soak.world().launcher.release_calls() != soak.world().hosts()) {
    v.report(events, "run loop", "hosts launched and released differ");
  }
  if (soak.last_state() != scm::SERVICE_STOPPED) v.report(events, "run loop", "the last status report is not SERVICE_STOPPED");
  return soak.result();
}

// ---- figures ----

struct Row {
  std::string name, value, unit, target, verdict;
};

std::string number(double v, const char* format) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, v);
  return buffer;
}

void add_part(std::vector<Row>& rows, const char* part, const PartResult& p, std::uint64_t events, bool measured_1m) {
  const std::string prefix = std::string("soak, ") + part + ": ";
  rows.push_back({prefix + "events", std::to_string(p.events), "events", std::to_string(events),
                  p.events == events ? "pass" : "FAIL"});
  rows.push_back({prefix + "hosts launched and released", std::to_string(p.hosts), "hosts", "-", "info"});
  const Model::Paths& n = p.paths;
  rows.push_back({prefix + "paths taken: clean exits / crashes / of them after 60 s / budget exceeded",
                  std::to_string(n.clean_exits) + " / " + std::to_string(n.crashes) + " / " +
                      std::to_string(n.stable_runs) + " / " + std::to_string(n.budget_exceeded),
                  "events", "-", "info"});
  rows.push_back({prefix + "paths taken: re-spawns launched / deferred / failed",
                  std::to_string(n.respawns) + " / " + std::to_string(n.respawns_deferred) + " / " +
                      std::to_string(n.respawns_failed),
                  "events", "-", "info"});
  rows.push_back({prefix + "time per event", number(p.seconds * 1e9 / static_cast<double>(p.events ? p.events : 1), "%.0f"),
                  "ns/event", "-", "info"});
  if (!measured_1m) return;
  const auto blocks = static_cast<double>(p.at_end.live_blocks) - static_cast<double>(p.at_1m.live_blocks);
  rows.push_back({prefix + "live heap blocks, growth from 1M events to the end", number(blocks, "%+.0f"), "blocks",
                  "0", blocks == 0 ? "pass" : "FAIL"});
  const auto rss = static_cast<double>(p.at_end.resident_kib) - static_cast<double>(p.at_1m.resident_kib);
  rows.push_back({prefix + "resident set at 1M events", std::to_string(p.at_1m.resident_kib), "KiB", "-", "info"});
  rows.push_back({prefix + "resident set growth from 1M events to the end", number(rss, "%+.0f"), "KiB",
                  "< 256 (page noise)", rss < 256 ? "pass" : "FAIL"});
}

}  // namespace
}  // namespace quolin::soak

int main(int argc, char** argv) {
  using namespace quolin::soak;
  std::uint64_t events = 10'000'000;
  std::uint64_t seed = 20260613;
  const char* figures = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a.substr(0, 9) == "--events=") {
      events = std::strtoull(argv[i] + 9, nullptr, 10);
    } else if (a.substr(0, 7) == "--seed=") {
      seed = std::strtoull(argv[i] + 7, nullptr, 10);
    } else if (a.substr(0, 10) == "--figures=") {
      figures = argv[i] + 10;
    } else {
      std::fprintf(stderr, "usage: service_soak [--events=N] [--seed=N] [--figures=path]\n");
      return 2;
    }
  }
  std::printf("soak: %" PRIu64 " events per part, seed %" PRIu64 "\n", events, seed);

  Violations violations;
  const PartResult supervisor = soak_supervisor(events, seed, violations);
  std::printf("supervisor: %" PRIu64 " events, %" PRIu64 " hosts, %" PRIu64 " restarts after a failed line, %.1f s\n",
              supervisor.events, supervisor.hosts, supervisor.restarts, supervisor.seconds);
  const PartResult loop = soak_run_loop(events, seed + 1, violations);
  std::printf("run loop: %" PRIu64 " events, %" PRIu64 " hosts, %.1f s\n", loop.events, loop.hosts, loop.seconds);

  std::vector<Row> rows;
  rows.push_back({"soak: invariant violations", std::to_string(violations.count), "violations", "0",
                  violations.count == 0 ? "pass" : "FAIL"});
  const bool measured = events >= 1'000'000;
  add_part(rows, "Supervisor", supervisor, events, measured);
  add_part(rows, "run loop", loop, events, measured);

  int status = violations.count == 0 ? 0 : 1;
  std::FILE* out = figures ? std::fopen(figures, "w") : nullptr;
  for (const Row& row : rows) {
    std::printf("  %-70s %12s %-10s target %-20s %s\n", row.name.c_str(), row.value.c_str(), row.unit.c_str(),
                row.target.c_str(), row.verdict.c_str());
    if (out) std::fprintf(out, "%s\t%s\t%s\t%s\t%s\n", row.name.c_str(), row.value.c_str(), row.unit.c_str(),
                          row.target.c_str(), row.verdict.c_str());
    if (status == 0 && row.verdict == "FAIL") status = 2;
  }
  if (out) std::fclose(out);
  return status;
}
