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
//     service would). After every event, what it changed is held against the rules, with the
//     Supervisor's own table, budget and time limits: a host and a re-spawn deadline are never
//     held together; at most one host is held; nothing is launched from waiting for logon except
//     on a logon-class change; a quiet poll does nothing; an exit sets the count and the deadline
//     the rules call for; a due re-spawn launches once. The shared FakeHostLauncher finds a host
//     released twice or never, or a handle closed outside release.
//   run loop: run_service_main for the whole run, fed through the real control handler and
//     channel (session-change controls with a notification record, and time-outs), with the
//     rules that the launcher and the log show checked after every event, ended by a stop
//     control. Its lines go through the real ServiceLog over the files fake, where at random
//     events someone arranges what an ordinary user can at the log path: a second name for the
//     log file, a file swapped in for the log folder, held open longer than the moves are
//     tried, or put back as soon as it is moved. After every event: nothing was written through
//     what was planted, the service main still runs, and every line the service wrote is in the
//     log or in an event 1101, once, with the count line saying how many went to events.
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
#include "fakes/fake_files.h"
#include "fakes/fake_host_launcher.h"
#include "fakes/fake_service_environment.h"
#include "fakes/recording_line_writer.h"
#include "launcher/host_launcher.h"
#include "platform/scm_codes.h"
#include "service/control_message.h"
#include "log/event_log_sink.h"
#include "log/log_format.h"
#include "log/log_safety.h"
#include "log/service_log.h"
#include "platform/text.h"
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

// ---- what must hold after each event ----

enum class ReasonClass { Logon, Logoff, None };

ReasonClass classify(std::string_view reason) {
  auto has = [&](SessionReason r) { return reason.find(session_reason_name(r)) != std::string_view::npos; };
  if (has(SessionReason::SessionLogon) || has(SessionReason::ConsoleConnect)) return ReasonClass::Logon;
  if (has(SessionReason::SessionLogoff) || has(SessionReason::ConsoleDisconnect)) return ReasonClass::Logoff;
  return ReasonClass::None;
}

std::uint32_t bump(std::uint32_t n) { return n == 0xFFFFFFFFu ? n : n + 1; }

// The re-spawn deadline a crash count calls for, from the Supervisor's own table and budget:
// none once the budget is spent.
std::optional<Instant> deadline_for(std::uint32_t count, Instant now) {
  if (count == 0 || count > Supervisor::CRASH_BUDGET) return std::nullopt;
  const std::size_t last = Supervisor::RESPAWN_DELAYS.size() - 1;
  return now.plus(Supervisor::RESPAWN_DELAYS[std::min<std::size_t>(count - 1, last)]);
}

// One event as the soak made it. The world launches every host into session 1.
struct Event {
  bool poll = true;  // otherwise a session change
  ReasonClass reason = ReasonClass::None;
  std::uint32_t session = 0;
  std::optional<HostExit> exit;              // what a poll of the held host reports
  LaunchKind launch = LaunchKind::Launched;  // what a launch during the event gives
  Instant now;
};

// What is seen before and after an event. Only the Supervisor part sees the deadline and count.
struct Seen {
  std::optional<std::uint32_t> host;
  std::uint64_t launches = 0;
  std::uint64_t lines = 0;
  std::optional<Instant> deadline;
  std::uint32_t count = 0;
};

Seen see(const World& w) { return {w.live(), w.launcher.launch_calls(), w.lines(), {}, 0}; }

Seen see(const World& w, const Supervisor& s) {
  Seen seen = see(w);
  seen.deadline = s.respawn_deadline();
  seen.count = s.consecutive_crashes();
  return seen;
}

// How often each path of the policy was taken, to show that the run reached them all.
struct Paths {
  std::uint64_t clean_exits = 0, crashes = 0, budget_exceeded = 0, respawns = 0, respawns_deferred = 0,
                respawns_failed = 0, stable_runs = 0;
};

// The rules of one event, checked on what it changed. Nothing is worked out ahead of the
// Supervisor: the one thing remembered is when the held host was launched, which the exit
// rules need.
class Rules {
 public:
  Rules(Violations& v, const char* part) : violations_(v), part_(part) {}

  // What the launcher, the log and the clock alone show: both parts.
  void check_world(const Seen& b, const Seen& a, const Event& e, std::size_t live, std::uint64_t n) {
    const std::uint64_t launches = a.launches - b.launches;
    if (live > 1) report(n, std::to_string(live) + " hosts held at once");
    if (launches > 1) report(n, "more than one launch in one event");
    if (a.lines - b.lines < launches) report(n, "a launch without its line");
    if (launches > 0 && b.host) report(n, "a launch while a host is held");
    if (e.poll) {
      if (b.host && !e.exit && (a.host != b.host || a.lines != b.lines)) report(n, "a quiet poll did something");
      if (b.host && e.exit && (a.host || a.lines == b.lines)) report(n, "an exit not let go with its line");
    } else {
      if (a.lines == b.lines) report(n, "a session change without its line");
      if (e.reason != ReasonClass::Logon && launches > 0) report(n, "a launch on a change that is not a logon");
      if (e.reason == ReasonClass::Logon && !b.host && launches == 0) report(n, "a logon without a host launched nothing");
      if (e.reason == ReasonClass::None && a.host != b.host) report(n, "a change without a class moved the host");
      if (e.reason == ReasonClass::Logoff && e.session == 1 && a.host) report(n, "the host outlived its session's logoff");
    }
    if (a.host && a.host != b.host) {
      host_since_ = e.now;
      ever_launched_ = true;
    }
  }

  // What the Supervisor holds: the crash count and the re-spawn deadline.
  void check_supervisor(const Seen& b, const Seen& a, const Event& e, std::optional<Instant> host_since,
                        std::uint64_t n) {
    const bool launched = a.launches > b.launches;
    const bool same = a.host == b.host && a.deadline == b.deadline && a.count == b.count;
    if (a.host && a.deadline) report(n, "a host and a re-spawn deadline held together");
    if (a.count > Supervisor::CRASH_BUDGET && (a.host || a.deadline)) report(n, "went on with the budget spent");
    if (!b.host && !b.deadline && launched && e.reason != ReasonClass::Logon) {
      report(n, "launch from waiting for logon without a logon-class change");
    }
    if (!e.poll) {
      const bool ours = !ever_launched_ || e.session == 1;
      if (e.reason == ReasonClass::Logon || (e.reason == ReasonClass::Logoff && ours)) {
        if (a.count != 0 || a.deadline) report(n, "a logon or logoff left the count or the deadline");
      } else if (!same) {
        report(n, "a change that concerns no host moved the state");
      }
    } else if (b.host && e.exit && host_since) {
      check_exit(b, a, *e.exit, e.now.saturating_since(*host_since), e.now, n);
    } else if (!b.host && b.deadline && e.now >= *b.deadline) {
      check_respawn(b, a, e, n);
    } else if (!e.exit && !same) {
      report(n, "a poll with nothing due moved the state");
    }
  }

  std::optional<Instant> host_since() const { return host_since_; }
  Paths paths;

 private:
  void check_exit(const Seen& b, const Seen& a, const HostExit& exit, Duration run, Instant now, std::uint64_t n) {
    if (exit.code == 0u && run < Supervisor::CLEAN_EXIT_WINDOW) {
      ++paths.clean_exits;
      if (a.count != 0 || a.deadline) report(n, "a clean exit kept the count or set a deadline");
      return;
    }
    ++paths.crashes;
    const bool stable = run >= Supervisor::STABLE_RUN_TIME;
    if (stable) ++paths.stable_runs;
    const std::uint32_t count = stable ? 1 : bump(b.count);
    if (count > Supervisor::CRASH_BUDGET) ++paths.budget_exceeded;
    if (a.count != count) report(n, "crash count " + std::to_string(a.count) + ", the rules say " + std::to_string(count));
    if (a.deadline != deadline_for(count, now)) report(n, "the re-spawn deadline is not the table's");
  }

  void check_respawn(const Seen& b, const Seen& a, const Event& e, std::uint64_t n) {
    if (a.launches != b.launches + 1) report(n, "a re-spawn that is due did not launch");
    switch (e.launch) {
      case LaunchKind::Launched:
        ++paths.respawns;
        if (!a.host || a.deadline || a.count != b.count) report(n, "a re-spawned host is not held as it should be");
        break;
      case LaunchKind::NoActiveSession:
        ++paths.respawns_deferred;
        if (a.host || a.deadline || a.count != b.count) report(n, "a re-spawn without a user did not wait for logon");
        break;
      case LaunchKind::Failed:
        ++paths.respawns_failed;
        if (a.count != bump(b.count) || a.deadline != deadline_for(a.count, e.now)) {
          report(n, "a failed re-spawn did not count as a crash");
        }
        break;
    }
  }

  void report(std::uint64_t n, const std::string& what) { violations_.report(n, part_, what); }

  Violations& violations_;
  const char* part_;
  std::optional<Instant> host_since_;
  bool ever_launched_ = false;
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
// launch (or a nanosecond short of it), or the re-spawn deadline when it is known (or just
// short of it).
Duration next_step(Random& r, Instant now, std::optional<Instant> host_since, std::optional<Instant> deadline) {
  if (!r.chance(4)) return random_step(r);
  std::optional<Instant> target = deadline;
  if (host_since) target = host_since->plus(r.chance(2) ? Supervisor::CLEAN_EXIT_WINDOW : Supervisor::STABLE_RUN_TIME);
  if (!target) return Duration{};
  Duration d = target->since_origin;
  if (r.chance(2) && (d.secs > 0 || d.nanos > 0)) {
    d = d.nanos > 0 ? Duration{d.secs, d.nanos - 1} : Duration{d.secs - 1, NANOS_PER_SEC - 1};
  }
  return Instant{d}.saturating_since(now);
}

LaunchKind random_launch(Random& r) {
  const std::uint32_t x = r.below(10);
  return x < 7 ? LaunchKind::Launched : x < 9 ? LaunchKind::Failed : LaunchKind::NoActiveSession;
}

// A session change, or (two times in three) a poll. Half of the changes concern the host's
// session; the others any session at all.
Event random_event(Random& r, std::string& reason) {
  Event e;
  e.poll = r.below(3) != 0;
  if (e.poll) return e;
  reason = random_reason(r);
  if (r.chance(50)) {  // both kinds in one name: a logon
    reason = std::string(session_reason_name(SessionReason::SessionLogoff)) + "+" +
             std::string(session_reason_name(SessionReason::ConsoleConnect));
  }
  e.reason = classify(reason);
  e.session = r.below(2) == 0 ? 1u : static_cast<std::uint32_t>(r.next());
  return e;
}

// ---- part 1: the Supervisor alone ----

struct PartResult {
  std::uint64_t events = 0;
  std::uint64_t hosts = 0;
  std::uint64_t restarts = 0;
  double seconds = 0;
  MemorySample at_1m;
  MemorySample at_end;
  Paths paths;
  bool has_paths = false;
  std::uint64_t lines_to_events = 0;  // run loop: lines the log could not take safely
};

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
  std::optional<Rules> rules;
  PartResult result;

  auto begin = [&] {
    supervisor.emplace(world.launcher, world.clock, world.log, sink);
    const Paths paths = rules ? rules->paths : Paths{};
    rules.emplace(v, part);
    rules->paths = paths;
    const Seen before = see(world, *supervisor);
    world.prepare(r, random_launch(r), false);
    if (!supervisor->start().ok()) v.report(0, part, "start failed without a failing line");
    world.settle();
    // The start is a logon of its own: one launch, and the host held when it was launched.
    Event start;
    start.poll = false;
    start.reason = ReasonClass::Logon;
    start.now = world.clock.now();
    rules->check_world(before, see(world, *supervisor), start, world.live_count(), 0);
  };
  begin();

  std::string reason;
  const auto t0 = std::chrono::steady_clock::now();
  for (std::uint64_t n = 1; n <= events; ++n) {
    world.clock.advance(next_step(r, world.clock.now(), rules->host_since(), supervisor->respawn_deadline()));
    Event e = random_event(r, reason);
    e.launch = random_launch(r);
    // One event in 5000 meets a log line that cannot be written.
    e.exit = world.prepare(r, e.launch, r.chance(5000));
    e.now = world.clock.now();
    const std::uint64_t refused_before = world.refused();
    const std::optional<Instant> host_since = rules->host_since();
    const Seen before = see(world, *supervisor);

    const Status<LogError> status = e.poll ? supervisor->on_poll_timeout() : supervisor->on_session_change(reason, e.session);
    const bool refused = world.refused() > refused_before;
    world.settle();

    if (!status.ok()) {
      // After a failed line the Supervisor is finished with: it lets its host go and a new one
      // starts, as a restarted service would.
      if (!refused) v.report(n, part, "an operation failed although every line could be written");
      supervisor->abandon();
      if (world.live()) v.report(n, part, "a host is still held after abandon");
      ++result.restarts;
      begin();
      continue;
    }
    if (refused) v.report(n, part, "a refused line did not fail the operation");
    const Seen after = see(world, *supervisor);
    if (supervisor->host_pid() != after.host) v.report(n, part, "held host and the launcher's live host disagree");
    rules->check_world(before, after, e, world.live_count(), n);
    rules->check_supervisor(before, after, e, host_since, n);

    if (n == 1'000'000) result.at_1m = sample_memory();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  if (!supervisor->shut_down().ok()) v.report(events, part, "shut_down failed");
  supervisor.reset();
  if (world.live()) v.report(events, part, "a host outlived the Supervisor");
  if (world.launcher.release_calls() != world.hosts()) v.report(events, part, "hosts launched and released differ");
  result.events = events;
  result.hosts = world.hosts();
  result.paths = rules->paths;
  result.has_paths = true;
  result.at_end = sample_memory();
  return result;
}

// ---- part 2: the run loop, through the control handler and the channel ----

// The run loop's log: the real ServiceLog over the files fake, with an intruder at the log path.
class LogPath final : public LineWriter, public EventSink {
 public:
  LogPath(EventSink& events, Violations& v) : events_(events), violations_(v) {
    files_.keep_calls = false;
    files_.add_folder(u"C:\\");
    files_.add_folder(u"C:\\ProgramData");
    files_.environment[u"ProgramData"] = u"C:\\ProgramData";
    files_.after_rename = [this](const std::u16string& from) {
      if (put_back_ > 0) {
        --put_back_;
        plant(from);
      }
    };
  }

  // Each line the service writes is in the log or in one event 1101, once; the count line, when
  // the log takes lines again, says how many went to events.
  Status<LogError> write_line(std::string_view message) override {
    const std::uint64_t to_events_before = to_events_;
    Status<LogError> written = log_.write_line(message);
    if (!written) {
      report("a line failed with code " + std::to_string(written.error().code));
      return written;
    }
    ++taken_;
    std::uint64_t found = to_events_ - to_events_before;
    to_count_ += found;
    if (auto log = files_.nodes.find(LOG_FILE); log != files_.nodes.end() && log->second.security.owner != INTRUDER) {
      found += count_lines(log->second.content);
    }
    if (found != 1) report("a line found " + std::to_string(found) + " times");
    return written;
  }

  bool report(EventKind kind, std::initializer_list<std::string_view> strings) override {
    if (kind.id == events::LINE_NOT_LOGGED.id) ++to_events_;
    return events_.report(kind, strings);
  }

  // Before an event, now and then: one of the arrangements, or the end of a hold.
  void arrange(Random& r, std::uint64_t event) {
    event_ = event;
    if (held_for_ > 0 && --held_for_ == 0) files_.held.clear();
    if (!r.chance(64)) return;
    switch (r.below(4)) {
      case 0:  // the log file gets a second name
        if (auto log = files_.nodes.find(LOG_FILE); log != files_.nodes.end() && !log->second.folder) {
          log->second.names = 2;
          log->second.security.owner = std::string(INTRUDER);
          log->second.content = std::string(PLANTED);  // its lines were counted by the audit before
        }
        break;
      case 1:  // a file where the log folder belongs
        swap_folder_for_file();
        break;
      case 2:  // the same, held open longer than the moves are tried
        swap_folder_for_file();
        files_.held.insert(FOLDER);
        held_for_ = 1 + r.below(8);
        break;
      default:  // put back at once after the next renames, sometimes more often than tried
        put_back_ = 1 + static_cast<int>(r.below(LOG_MOVE_ASIDE_TRIES + 2));
        break;
    }
  }

  // After an event: what the planted things hold.
  void audit() {
    for (auto it = files_.nodes.begin(); it != files_.nodes.end();) {
      const bool planted = it->second.security.owner == INTRUDER;
      if (planted && it->second.content != PLANTED) report("written through " + name(it->first));
      if (it->first.find(u".untrusted-") != std::u16string::npos) {
        it = files_.nodes.erase(it);  // checked: an administrator clears it away
        continue;
      }
      ++it;
    }
  }

  std::uint64_t lines_taken() const { return taken_; }
  std::uint64_t lines_to_events() const { return to_events_; }

 private:
  inline static const std::u16string FOLDER = u"C:\\ProgramData\\Quolin";
  inline static const std::u16string LOG_FILE = u"C:\\ProgramData\\Quolin\\service.log";
  static constexpr std::string_view INTRUDER = "S-1-5-21-7-7-7-1013";
  static constexpr std::string_view PLANTED = "planted";

  void plant(const std::u16string& path) {
    fakes::FakeFiles::Node& node = files_.add_file(path, std::string(PLANTED));
    node.names = 2;  // unsafe as the log file, and not a folder either
    node.security.owner = std::string(INTRUDER);
  }

  void swap_folder_for_file() {
    files_.nodes.erase(LOG_FILE);
    files_.nodes.erase(FOLDER);
    plant(FOLDER);
  }

  // The service's lines in the log, its count line checked against the events; the log is
  // emptied, so that it does not grow.
  std::uint64_t count_lines(std::string& content) {
    std::uint64_t lines = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string_view line(content.data() + start, end - start);
      const std::size_t tag = line.find(LOG_TAG);
      const std::string_view message = tag == std::string_view::npos ? line : line.substr(tag + LOG_TAG.size());
      if (message.find(" was not safe (") != std::string_view::npos && message.starts_with("log ")) continue;
      if (message.find(" earlier lines went to the Event Log") != std::string_view::npos) {
        if (message != lines_to_events_line(to_count_)) report("count line " + std::string(message));
        to_count_ = 0;
        continue;
      }
      ++lines;
    }
    content.clear();
    return lines;
  }

  static std::string name(const std::u16string& path) { return platform::utf8_from_utf16_lossy(path); }
  void report(const std::string& what) { violations_.report(event_, "run loop", what); }

  EventSink& events_;
  Violations& violations_;
  fakes::FakeFiles files_;
  ServiceLog log_{files_, *this};
  std::uint64_t event_ = 0;
  int held_for_ = 0;
  int put_back_ = 0;
  std::uint64_t taken_ = 0, to_events_ = 0, to_count_ = 0;
};

// The shared fake environment, driven by one random event before each receive. Only what the
// launcher and the log see is checked here; the Supervisor's own state is the first part's.
class RunLoopSoak {
 public:
  RunLoopSoak(std::uint64_t events, std::uint64_t seed, Violations& v)
      : events_(events), random_(seed), violations_(v), rules_(v, "run loop") {
    event_log_.keep = false;
    env_.writer = &log_path_;
    env_.record_waits = false;
    env_.time_out_moves_clock = false;  // each event moves it
    env_.before_receive = [this](int) { next_event(); };
    // The launch that start() makes right after asking for the launcher.
    world_.prepare(random_, random_launch(random_), false);
  }

  void run() { run_service_main(env_); }

  PartResult result() const {
    PartResult r;
    r.events = event_;
    r.hosts = world_.hosts();
    r.seconds = seconds_;
    r.at_1m = at_1m_;
    r.at_end = at_end_;
    r.lines_to_events = log_path_.lines_to_events();
    return r;
  }
  const World& world() const { return world_; }
  std::uint32_t last_state() const { return env_.scm.statuses.empty() ? 0 : env_.scm.statuses.back().dwCurrentState; }

 private:
  void next_event() {
    world_.settle();
    log_path_.audit();
    if (event_ == 0) {
      t0_ = std::chrono::steady_clock::now();
    } else {
      rules_.check_world(before_, seen(), current_, world_.live_count(), event_);
    }
    if (event_ == 1'000'000) at_1m_ = sample_memory();
    if (event_ == events_) {
      seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
      at_end_ = sample_memory();
      deliver(1, 0, 0);  // stop
      return;
    }
    ++event_;
    world_.clock.advance(next_step(random_, world_.clock.now(), rules_.host_since(), std::nullopt));
    std::string reason;
    current_ = random_event(random_, reason);
    current_.launch = random_launch(random_);
    current_.exit = world_.prepare(random_, current_.launch, false);
    log_path_.arrange(random_, event_);
    current_.now = world_.clock.now();
    before_ = seen();
    if (!current_.poll) {
      // A session-change control with its notification record, as the system delivers it. The
      // control handler knows each reason by its event type; a combined name is not one.
      const std::uint32_t event_type = 1 + random_.below(11);
      current_.reason = classify(session_reason_name(*session_reason_from_event_type(event_type)));
      deliver(14, event_type, current_.session);
    }
    // The handler has queued the control (or nothing): the receive hands it over, or times out
    // at once.
  }

  // The lines are the log's, not the recording writer's.
  Seen seen() const {
    Seen s = see(world_);
    s.lines = log_path_.lines_taken();
    return s;
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
  Rules rules_;
  fakes::FakeHostLauncher launcher_;
  fakes::FakeEventLog event_log_;
  EventLogSink sink_{event_log_};
  LogPath log_path_{sink_, violations_};
  fakes::FakeServiceEnvironment env_{launcher_, log_path_};
  World world_{launcher_, env_.fake_clock, env_.lines};
  std::uint64_t event_ = 0;
  Event current_;
  Seen before_;
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
  const Paths& n = p.paths;
  if (p.has_paths) rows.push_back({prefix + "paths taken: clean exits / crashes / of them after 60 s / budget exceeded",
                  std::to_string(n.clean_exits) + " / " + std::to_string(n.crashes) + " / " +
                      std::to_string(n.stable_runs) + " / " + std::to_string(n.budget_exceeded),
                  "events", "-", "info"});
  if (p.has_paths) rows.push_back({prefix + "paths taken: re-spawns launched / deferred / failed",
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
  std::printf("run loop: %" PRIu64 " events, %" PRIu64 " hosts, %" PRIu64 " lines to the Event Log, %.1f s\n",
              loop.events, loop.hosts, loop.lines_to_events, loop.seconds);

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
