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
//     together; every launched host is released exactly once; nothing is launched from waiting
//     for logon except on a logon-class change; the crash count only moves by its rules.
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
#include "bench_fakes.h"
#include "launcher/host_process.h"
#include "platform/owned.h"
#include "service/control_handler.h"
#include "supervisor/host_launcher.h"
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

// A launcher that hands out hosts with serial numbers as handles, checks that each comes back
// through release exactly once (closing its handle inside release), and keeps no history, so
// that it does not grow. The next launch outcome and the exit of the live host are set from
// outside before each event.
class SoakLauncher final : public HostLauncher, public platform::HandleCloser {
 public:
  explicit SoakLauncher(Violations& violations, const char* part) : violations_(violations), part_(part) {}

  LaunchKind next_launch = LaunchKind::Launched;
  std::optional<HostExit> exit_of_live;  // what a poll of the live host reports
  std::uint64_t event = 0;

  LaunchOutcome launch() override {
    ++launches_;
    switch (next_launch) {
      case LaunchKind::Launched: {
        ++serial_;
        if (live_ != 0) problem("launch while host " + std::to_string(live_) + " is still held");
        live_ = serial_;
        exit_of_live.reset();
        return Launched{HostProcess{platform::UniqueHandle(*this, handle_of(serial_)),
                                    static_cast<std::uint32_t>(serial_)}};
      }
      case LaunchKind::NoActiveSession:
        return NoActiveSession{};
      case LaunchKind::Failed:
        return LaunchFailed{"CreateProcessAsUserW: Access is denied. (0x80070005)"};
    }
    return NoActiveSession{};
  }

  void release(HostProcess host) override {
    const std::uint64_t id = serial_of(host.handle.get());
    if (id == 0 || id != live_) {
      problem("release of host " + std::to_string(id) + " which is not the live one (" + std::to_string(live_) + ")");
      (void)host.handle.release();
      return;
    }
    if (host.pid != static_cast<std::uint32_t>(id)) problem("release with a pid that is not the host's");
    releasing_ = id;
    host.handle.reset();
    releasing_ = 0;
    if (closed_ != id) problem("release did not close the host's handle");
    live_ = 0;
    ++releases_;
  }

  std::optional<HostExit> poll_exit(const HostProcess& host) override {
    ++polls_;
    if (serial_of(host.handle.get()) != live_ || live_ == 0) problem("poll of a host that is not live");
    return exit_of_live;
  }

  void CloseHandle(platform::Handle handle) override {
    const std::uint64_t id = serial_of(handle);
    if (id != releasing_) problem("handle of host " + std::to_string(id) + " closed outside its release");
    if (closed_ == id) problem("handle of host " + std::to_string(id) + " closed twice");
    closed_ = id;
  }

  bool holds_live() const { return live_ != 0; }
  std::uint64_t live() const { return live_; }
  std::uint64_t launches() const { return launches_; }
  std::uint64_t releases() const { return releases_; }
  std::uint64_t hosts() const { return serial_; }
  std::uint64_t polls() const { return polls_; }

 private:
  static platform::Handle handle_of(std::uint64_t serial) {
    return reinterpret_cast<platform::Handle>(static_cast<std::uintptr_t>(0x10000 + 4 * serial));
  }
  static std::uint64_t serial_of(platform::Handle h) {
    const auto v = reinterpret_cast<std::uintptr_t>(h);
    return v < 0x10000 ? 0 : (v - 0x10000) / 4;
  }
  void problem(const std::string& what) { violations_.report(event, part_, what); }

  Violations& violations_;
  const char* part_;
  std::uint64_t serial_ = 0;
  std::uint64_t live_ = 0;
  std::uint64_t releasing_ = 0;
  std::uint64_t closed_ = 0;
  std::uint64_t launches_ = 0;
  std::uint64_t releases_ = 0;
  std::uint64_t polls_ = 0;
};

// Counts lines, and refuses the next one when told to.
class SoakLineWriter final : public LineWriter {
 public:
  bool fail_next = false;
  Status<LogError> write_line(std::string_view) override {
    if (fail_next) {
      fail_next = false;
      ++failed_;
      return fail(LogError::os(112));
    }
    ++lines_;
    return {};
  }
  std::uint64_t lines() const { return lines_; }
  std::uint64_t failed() const { return failed_; }

 private:
  std::uint64_t lines_ = 0;
  std::uint64_t failed_ = 0;
};

// ---- the reference model of the policy ----

enum class ReasonClass { Logon, Logoff, None };

ReasonClass classify(std::string_view reason) {
  auto has = [&](std::string_view s) { return reason.find(s) != std::string_view::npos; };
  if (has("SessionLogon") || has("ConsoleConnect")) return ReasonClass::Logon;
  if (has("SessionLogoff") || has("ConsoleDisconnect")) return ReasonClass::Logoff;
  return ReasonClass::None;
}

// The policy, written out a second time from its rules, tracking what the Supervisor should
// hold and how many launches and lines each event should cause.
struct Model {
  static constexpr std::uint32_t BUDGET = 5;
  static constexpr std::array<std::uint64_t, 5> DELAYS_MS = {1000, 2000, 4000, 8000, 30000};

  bool host = false;
  Instant launched_at{};
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
    return Duration::from_millis(DELAYS_MS[std::min<std::uint32_t>(count - 1, 4)]);
  }

  // A launch with the given outcome; true when a host was recorded.
  bool launch(LaunchKind kind, Instant now) {
    ++launches;
    ++lines;  // every outcome writes one line
    if (kind != LaunchKind::Launched) return false;
    host = true;
    launched_at = now;
    deadline.reset();
    return true;
  }

  void start(LaunchKind kind, Instant now) {
    count = 0;
    deadline.reset();
    launch(kind, now);
  }

  void session_change(std::string_view reason, LaunchKind kind, Instant now) {
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
      if (exit->code == 0u && run < Duration::from_secs(5)) {
        ++paths.clean_exits;
        count = 0;
        deadline.reset();
        ++lines;
        return;
      }
      ++paths.crashes;
      if (run >= Duration::from_secs(60)) ++paths.stable_runs;
      count = run >= Duration::from_secs(60) ? 1 : bump(count);
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

constexpr std::array<std::string_view, 11> REASONS = {
    "ConsoleConnect", "ConsoleDisconnect", "RemoteConnect", "RemoteDisconnect",
    "SessionLogon",   "SessionLogoff",     "SessionLock",   "SessionUnlock",
    "SessionRemoteControl", "SessionCreate", "SessionTerminate"};

// How far the clock moves before an event: mostly a poll period, sometimes across the clean-exit
// window, the back-off delays or the stable run time.
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
    target = m.launched_at.plus(r.chance(2) ? Duration::from_secs(5) : Duration::from_secs(60));
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

std::optional<HostExit> random_exit(Random& r) {
  if (!r.chance(3)) return std::nullopt;  // still running
  switch (r.below(4)) {
    case 0: return HostExit{0u};
    case 1: return HostExit{std::nullopt};
    case 2: return HostExit{1u};
    default: return HostExit{static_cast<std::uint32_t>(r.next())};
  }
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

void check_state(const Supervisor& s, const Model& m, const SoakLauncher& launcher, const SoakLineWriter& log,
                 std::uint64_t log_base, std::uint64_t event, Violations& v) {
  const char* part = "supervisor";
  if (s.holds_host() && s.respawn_deadline()) v.report(event, part, "a host and a re-spawn deadline held together");
  if (s.holds_host() != launcher.holds_live()) v.report(event, part, "held host and the launcher's live host disagree");
  if (s.holds_host() != m.host) v.report(event, part, "host held: model says " + std::to_string(m.host));
  if (s.respawn_deadline() != m.deadline) v.report(event, part, "re-spawn deadline differs from the model");
  if (s.consecutive_crashes() != m.count) {
    v.report(event, part, "count " + std::to_string(s.consecutive_crashes()) + ", model " + std::to_string(m.count));
  }
  if (s.holds_host() && s.host_launched_at() != m.launched_at) v.report(event, part, "launch instant differs");
  if (log.lines() - log_base != m.lines) v.report(event, part, "number of lines differs from the model");
}

PartResult soak_supervisor(std::uint64_t events, std::uint64_t seed, Violations& v) {
  const char* part = "supervisor";
  Random r(seed);
  bench::ManualClock clock;
  SoakLauncher launcher(v, part);
  SoakLineWriter log;
  std::optional<Supervisor> supervisor;
  Model model;
  std::uint64_t log_base = 0;
  std::uint64_t launches_base = 0;
  PartResult result;

  auto begin = [&] {
    supervisor.emplace(launcher, clock, log);
    const Model::Paths paths = model.paths;
    model = Model{};
    model.paths = paths;
    log_base = log.lines();
    launches_base = launcher.launches();
    launcher.next_launch = random_launch(r);
    model.start(launcher.next_launch, clock.now());
    if (!supervisor->start().ok()) v.report(0, part, "start failed without a failing line");
  };
  begin();

  const auto t0 = std::chrono::steady_clock::now();
  for (std::uint64_t e = 1; e <= events; ++e) {
    launcher.event = e;
    clock.advance(next_step(r, clock.now(), model));
    launcher.next_launch = random_launch(r);
    if (launcher.holds_live() && !launcher.exit_of_live) launcher.exit_of_live = random_exit(r);
    // One event in 5000 meets a log line that cannot be written.
    log.fail_next = r.chance(5000);
    const std::uint64_t refused_before = log.failed();

    const bool waiting = !supervisor->holds_host() && !supervisor->respawn_deadline();
    const std::uint32_t count_before = supervisor->consecutive_crashes();
    const std::uint64_t launches_before = launcher.launches();
    const Instant now = clock.now();

    Status<LogError> status;
    bool logon = false;
    bool logoff = false;
    bool classless = false;
    bool was_poll = false;
    if (r.below(3) == 0) {
      std::string_view reason = REASONS[r.below(REASONS.size())];
      if (r.chance(50)) reason = "SessionLogoff+ConsoleConnect";  // both kinds: a logon
      const ReasonClass c = classify(reason);
      logon = c == ReasonClass::Logon;
      logoff = c == ReasonClass::Logoff;
      classless = c == ReasonClass::None;
      model.session_change(reason, launcher.next_launch, now);
      status = supervisor->on_session_change(reason, static_cast<std::uint32_t>(r.next()));
    } else {
      was_poll = true;
      model.poll(launcher.holds_live() ? launcher.exit_of_live : std::nullopt, launcher.next_launch, now);
      status = supervisor->on_poll_timeout();
    }
    const bool refused = log.failed() > refused_before;
    log.fail_next = false;

    const bool launched_now = launcher.launches() > launches_before;
    if (waiting && launched_now && !logon) v.report(e, part, "launch from waiting for logon without a logon-class change");
    if (launcher.launches() - launches_before > 1) v.report(e, part, "more than one launch in one event");

    if (!status.ok()) {
      // The model does not follow a failed operation: the Supervisor is finished with then.
      if (!refused) v.report(e, part, "an operation failed although every line could be written");
      if (launcher.holds_live()) v.report(e, part, "a host is still held after a failed line");
      supervisor->abandon();
      if (launcher.holds_live()) v.report(e, part, "a host is still held after abandon");
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
    if (launcher.launches() - launches_base != model.launches) v.report(e, part, "launches differ from the model");
    check_state(*supervisor, model, launcher, log, log_base, e, v);

    if (e == 1'000'000) result.at_1m = sample_memory();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  if (!supervisor->shut_down().ok()) v.report(events, part, "shut_down failed");
  supervisor.reset();
  if (launcher.holds_live()) v.report(events, part, "a host outlived the Supervisor");
  if (launcher.releases() != launcher.hosts()) v.report(events, part, "hosts launched and released differ");
  result.events = events;
  result.hosts = launcher.hosts();
  result.paths = model.paths;
  result.at_end = sample_memory();
  return result;
}

// ---- part 2: the run loop, through the control handler and the channel ----

// Keeps the control handler the run loop registers, so that controls can be delivered to it
// the way the system does.
class SoakServiceControl final : public platform::ServiceControl {
 public:
  platform::HandlerExFunction handler = nullptr;
  void* context = nullptr;
  std::uint32_t last_state = 0;

  bool StartServiceCtrlDispatcherW(const char16_t*, platform::ServiceMainFunction) override { return false; }
  platform::ServiceStatusHandle RegisterServiceCtrlHandlerExW(const char16_t*, platform::HandlerExFunction h,
                                                              void* c) override {
    handler = h;
    context = c;
    return &handle_;
  }
  bool SetServiceStatus(platform::ServiceStatusHandle, const platform::SERVICE_STATUS& s) override {
    last_state = s.dwCurrentState;
    return true;
  }
  std::uint32_t GetLastError() override { return 0; }
  std::uint32_t FormatMessageW(std::uint32_t, std::uint32_t, std::uint32_t, char16_t*, std::uint32_t) override {
    return 0;
  }

 private:
  int handle_ = 0;
};

class SoakEnvironment final : public ServiceEnvironment {
 public:
  SoakEnvironment(std::uint64_t events, std::uint64_t seed, Violations& v)
      : events_(events), random_(seed), violations_(v), launcher_(v, "run loop") {}

  LineWriter& log() override { return log_; }
  MonotonicClock& clock() override { return clock_; }
  platform::ServiceControl& service_control() override { return service_control_; }
  std::string resolve_host_path() override { return "C:\\Program Files\\Quolin\\quolin.exe"; }
  HostLauncher& host_launcher(std::string) override {
    // start() launches right after this: the model starts with the same outcome.
    launcher_.next_launch = random_launch(random_);
    model_.start(launcher_.next_launch, clock_.now());
    return launcher_;
  }

  Result<ControlMessage, ReceiveError> receive(ControlReceiver& receiver, Instant) override {
    if (event_ == 0) {
      // The start-up lines: "service starting", "service running, awaiting SCM events".
      log_base_ = log_.lines() - model_.lines;
      t0_ = std::chrono::steady_clock::now();
    } else {
      check();
    }
    if (event_ == 1'000'000) at_1m_ = sample_memory();
    if (event_ == events_) {
      seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
      at_end_ = sample_memory();
      deliver(1, 0, nullptr);  // stop
      return receiver.receive_until(ControlReceiver::Clock::time_point{});
    }
    ++event_;
    launcher_.event = event_;
    clock_.advance(next_step(random_, clock_.now(), model_));
    launcher_.next_launch = random_launch(random_);
    if (launcher_.holds_live() && !launcher_.exit_of_live) launcher_.exit_of_live = random_exit(random_);
    const Instant now = clock_.now();
    waiting_ = !model_.host && !model_.deadline;
    launches_before_ = launcher_.launches();
    logon_ = false;

    if (random_.below(3) == 0) {
      // A session-change control with its notification record, as the system delivers it.
      const std::uint32_t event_type = 1 + random_.below(11);
      const std::uint32_t session = static_cast<std::uint32_t>(random_.next());
      std::array<unsigned char, 12> record{};
      record[0] = 12;
      std::memcpy(record.data() + 4, &session, 4);
      const std::string_view reason = REASONS[event_type - 1];
      logon_ = classify(reason) == ReasonClass::Logon;
      model_.session_change(reason, launcher_.next_launch, now);
      deliver(14, event_type, record.data());
    } else {
      model_.poll(launcher_.holds_live() ? launcher_.exit_of_live : std::nullopt, launcher_.next_launch, now);
    }
    // The handler has queued the control (or nothing): a deadline already past hands it over,
    // or times out at once.
    return receiver.receive_until(ControlReceiver::Clock::time_point{});
  }

  void check() {
    const char* part = "run loop";
    const std::uint64_t launched = launcher_.launches() - launches_before_;
    if (waiting_ && launched > 0 && !logon_) violations_.report(event_, part, "launch from waiting for logon without a logon-class change");
    if (launcher_.launches() != model_.launches) violations_.report(event_, part, "launches differ from the model");
    if (launcher_.holds_live() != model_.host) violations_.report(event_, part, "held host differs from the model");
    if (log_.lines() - log_base_ != model_.lines) violations_.report(event_, part, "number of lines differs from the model");
  }

  void deliver(std::uint32_t control, std::uint32_t event_type, void* data) {
    if (service_control_.handler == nullptr) {
      violations_.report(event_, "run loop", "no control handler registered");
      return;
    }
    const std::uint32_t reply = service_control_.handler(control, event_type, data, service_control_.context);
    if (reply != 0) violations_.report(event_, "run loop", "control answered " + std::to_string(reply));
  }

  PartResult result() const {
    PartResult r;
    r.events = event_;
    r.hosts = launcher_.hosts();
    r.seconds = seconds_;
    r.at_1m = at_1m_;
    r.at_end = at_end_;
    r.paths = model_.paths;
    return r;
  }
  const SoakLauncher& launcher() const { return launcher_; }
  std::uint32_t last_state() const { return service_control_.last_state; }

 private:
  std::uint64_t events_;
  Random random_;
  Violations& violations_;
  SoakLauncher launcher_;
  SoakLineWriter log_;
  bench::ManualClock clock_;
  SoakServiceControl service_control_;
  Model model_;
  std::uint64_t event_ = 0;
  std::uint64_t log_base_ = 0;
  std::uint64_t launches_before_ = 0;
  bool waiting_ = false;
  bool logon_ = false;
  std::chrono::steady_clock::time_point t0_;
  double seconds_ = 0;
  MemorySample at_1m_;
  MemorySample at_end_;
};

PartResult soak_run_loop(std::uint64_t events, std::uint64_t seed, Violations& v) {
  SoakEnvironment env(events, seed, v);
  run_service_main(env);
  if (env.launcher().holds_live()) v.report(events, "run loop", "a host outlived the service main");
  if (env.launcher().releases() != env.launcher().hosts()) v.report(events, "run loop", "hosts launched and released differ");
  if (env.last_state() != 1) v.report(events, "run loop", "the last status report is not SERVICE_STOPPED");
  return env.result();
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
