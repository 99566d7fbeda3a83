// What the service costs per event, natively: a quiet pass of the run loop, an idle poll, a
// session change, a crash decision, and the log's timestamp and line layout. Time per call and
// heap allocations per call (alloc_counter.cpp counts every operator new of the process).
//
//   service_bench --figures=build/bench/native-figures.tsv [benchmark flags]
//
// Besides Google Benchmark's own output it writes one row per figure, tab-separated: name,
// value, unit, target, verdict. The target that matters most is zero allocations per quiet
// pass and per idle poll: the service wakes five times a second for its whole life.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_counter.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_event_log.h"
#include "fakes/fake_files.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_service_environment.h"
#include "fakes/recording_line_writer.h"
#include "launcher/session_launcher.h"
#include "log/event_log_sink.h"
#include "log/log_format.h"
#include "platform/clock.h"
#include "platform/scm_codes.h"
#include "service/control_channel.h"
#include "supervisor/run_loop.h"
#include "supervisor/supervisor.h"

namespace quolin::bench {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view HOST_PATH = "C:\\Program Files\\Quolin\\quolin.exe";

// The shared fakes in their cheap mode: no call log, no lines kept, so that what is measured
// is the service's own work. The counter stands a few days after boot, at 10 MHz.
struct QuietFakes {
  QuietFakes() {
    processes.record = false;
    log.keep = false;
    event_log.keep = false;
    files.performance_counter = 3LL * 86'400 * 10'000'000;
  }
  fakes::FakeProcesses processes;
  fakes::FakeFiles files;
  fakes::RecordingLineWriter log;
  fakes::FakeEventLog event_log;
  EventLogSink events{event_log};

  // The host's process handle (and its job) are what the launcher keeps open between calls.
  std::optional<std::string> host() const {
    for (const std::string& label : processes.open_objects()) {
      if (label.starts_with("process")) return label;
    }
    return std::nullopt;
  }
  bool host_held() const { return host().has_value(); }
  // The running host ends by itself with `code`.
  void host_exits_with(std::uint32_t code) {
    if (auto label = host()) processes.exit_process(processes.object(*label), code);
  }
};

// ---- the run loop ----

// The shared fake environment with the real launcher code on the quiet fakes; every receive is
// one benchmark iteration on the real channel. The receive either answers at once (the whole
// pass except the sleep) or really waits `wait` for nothing (the pass as the system runs it,
// sleep included). When the benchmark ends, a shutdown control gives up the channel, which ends
// the service main through its stop sequence. Start-up and stop happen outside the timed passes.
void run_quiet_loop(benchmark::State& state, std::optional<std::chrono::nanoseconds> wait) {
  QuietFakes quiet;
  SessionLauncher launcher(quiet.processes, std::string(HOST_PATH));
  fakes::FakeServiceEnvironment env(launcher, quiet.events);
  env.lines.keep = false;
  env.record_waits = false;
  env.real_wait = wait;
  bool host_held = false;
  std::uint64_t first_allocations = 0, first_lines = 0, passes_allocations = 0, lines_during_passes = 0;
  env.before_receive = [&](int pass) {
    const std::uint64_t allocations = alloc_counter::allocations();
    if (pass == 1) {
      host_held = quiet.host_held();  // allocates: before the count starts
      first_allocations = alloc_counter::allocations();
      first_lines = env.lines.written();
    }
    if (state.KeepRunning()) return;
    if (pass > 1) {
      passes_allocations = allocations - first_allocations;
      lines_during_passes = env.lines.written() - first_lines;
    }
    env.control(scm::SERVICE_CONTROL_SHUTDOWN);
  };
  run_service_main(env);
  if (!host_held) state.SkipWithError("no host was running during the passes");
  if (lines_during_passes != 0) state.SkipWithError("a quiet pass wrote a log line");
  state.counters["allocs_per_op"] =
      benchmark::Counter(static_cast<double>(passes_allocations), benchmark::Counter::kAvgIterations);
}

// One pass of the loop without the sleep: clock read, receive that times out, exit poll of a
// running host through the real launcher's poll_exit.
void RunLoop_QuietPass(benchmark::State& state) { run_quiet_loop(state, std::nullopt); }
BENCHMARK(RunLoop_QuietPass)->Repetitions(3)->ReportAggregatesOnly(true);

// The same pass with a real 1 ms wait in the channel: its CPU time is what one idle wake-up costs
// the machine (the 200 ms of the service only lengthens the sleep).
void RunLoop_QuietPassRealWait(benchmark::State& state) { run_quiet_loop(state, 1ms); }
BENCHMARK(RunLoop_QuietPassRealWait)->Repetitions(3)->ReportAggregatesOnly(true);

// The monotonic clock the run loop reads once per pass: QueryPerformanceCounter (here a fake
// counter) scaled to seconds and nanoseconds.
void Clock_PerformanceCounterNow(benchmark::State& state) {
  QuietFakes quiet;
  PerformanceCounterClock clock(quiet.files);
  for (auto _ : state) {
    Instant now = clock.now();
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(Clock_PerformanceCounterNow)->Repetitions(3)->ReportAggregatesOnly(true);

// ---- the Supervisor ----

// A Supervisor over the real launcher code (SessionLauncher, poll_exit) on the quiet fakes, a
// clock moved by hand and a line writer that only counts.
struct SupervisorRig {
  QuietFakes quiet;
  SessionLauncher launcher{quiet.processes, std::string(HOST_PATH)};
  fakes::FakeClock clock;
  Supervisor supervisor{launcher, clock, quiet.log, quiet.events};

  // Brings the Supervisor to the state the benchmark starts from.
  bool start_running() { return supervisor.start().ok() && supervisor.holds_host(); }
};

void count_allocations(benchmark::State& state, std::uint64_t total) {
  state.counters["allocs_per_op"] =
      benchmark::Counter(static_cast<double>(total), benchmark::Counter::kAvgIterations);
}

void Supervisor_IdlePollRunningHost(benchmark::State& state) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  const std::uint64_t before = alloc_counter::allocations();
  for (auto _ : state) {
    auto s = rig.supervisor.on_poll_timeout();
    benchmark::DoNotOptimize(s);
  }
  count_allocations(state, alloc_counter::allocations() - before);
  if (!rig.supervisor.holds_host()) state.SkipWithError("the host went away");
}
BENCHMARK(Supervisor_IdlePollRunningHost)->Repetitions(3)->ReportAggregatesOnly(true);

void Supervisor_IdlePollWaitingForLogon(benchmark::State& state) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  if (!rig.supervisor.on_session_change("SessionLogoff", 1).ok()) return state.SkipWithError("logoff failed");
  const std::uint64_t before = alloc_counter::allocations();
  for (auto _ : state) {
    auto s = rig.supervisor.on_poll_timeout();
    benchmark::DoNotOptimize(s);
  }
  count_allocations(state, alloc_counter::allocations() - before);
  if (rig.supervisor.holds_host() || rig.supervisor.respawn_deadline()) state.SkipWithError("state moved");
}
BENCHMARK(Supervisor_IdlePollWaitingForLogon)->Repetitions(3)->ReportAggregatesOnly(true);

void Supervisor_IdlePollBackingOff(benchmark::State& state) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  rig.quiet.host_exits_with(3);
  if (!rig.supervisor.on_poll_timeout().ok() || !rig.supervisor.respawn_deadline()) {
    return state.SkipWithError("no re-spawn scheduled");
  }
  const std::uint64_t before = alloc_counter::allocations();
  for (auto _ : state) {
    auto s = rig.supervisor.on_poll_timeout();
    benchmark::DoNotOptimize(s);
  }
  count_allocations(state, alloc_counter::allocations() - before);
  if (rig.supervisor.holds_host()) state.SkipWithError("re-spawned before the deadline");
}
BENCHMARK(Supervisor_IdlePollBackingOff)->Repetitions(3)->ReportAggregatesOnly(true);

// A session change while the host runs: without a class (SessionLock) its one line, nothing
// else; a logon, the session-change line and the "already running" line.
void Supervisor_SessionChange(benchmark::State& state, const char* reason) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  const std::uint64_t before = alloc_counter::allocations();
  std::uint32_t session = 1;
  for (auto _ : state) {
    auto s = rig.supervisor.on_session_change(reason, session++);
    benchmark::DoNotOptimize(s);
  }
  count_allocations(state, alloc_counter::allocations() - before);
}
BENCHMARK_CAPTURE(Supervisor_SessionChange, NoClass, "SessionLock")->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(Supervisor_SessionChange, LogonWhileRunning, "SessionLogon")
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

// One crash decision: the poll that finds the host ended, its release, the count, the exit line
// and the "scheduled re-spawn" line. Between two timed decisions the host is re-spawned
// (untimed); the host ran over a minute each time, so every crash is the first of a run.
void Supervisor_CrashDecision(benchmark::State& state) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    rig.clock.advance(Duration::from_secs(61));
    rig.quiet.host_exits_with(3221225477u);
    const std::uint64_t before = alloc_counter::allocations();
    const auto t0 = std::chrono::steady_clock::now();
    auto crash = rig.supervisor.on_poll_timeout();
    const auto t1 = std::chrono::steady_clock::now();
    allocations += alloc_counter::allocations() - before;
    benchmark::DoNotOptimize(crash);
    rig.clock.advance(Duration::from_secs(1));
    auto respawn = rig.supervisor.on_poll_timeout();
    benchmark::DoNotOptimize(respawn);
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  count_allocations(state, allocations);
  if (!rig.supervisor.holds_host() || rig.supervisor.consecutive_crashes() != 1) {
    state.SkipWithError("the crash and re-spawn cycle went astray");
  }
}
BENCHMARK(Supervisor_CrashDecision)->UseManualTime()->Repetitions(3)->ReportAggregatesOnly(true);

// One re-spawn at its deadline: the launch through SessionLauncher, the "re-spawned" line and
// the new host record. The crash before it is untimed.
void Supervisor_RespawnDecision(benchmark::State& state) {
  SupervisorRig rig;
  if (!rig.start_running()) return state.SkipWithError("no host at start");
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    rig.clock.advance(Duration::from_secs(61));
    rig.quiet.host_exits_with(1);
    auto crash = rig.supervisor.on_poll_timeout();
    benchmark::DoNotOptimize(crash);
    rig.clock.advance(Duration::from_secs(1));
    const std::uint64_t before = alloc_counter::allocations();
    const auto t0 = std::chrono::steady_clock::now();
    auto respawn = rig.supervisor.on_poll_timeout();
    const auto t1 = std::chrono::steady_clock::now();
    allocations += alloc_counter::allocations() - before;
    benchmark::DoNotOptimize(respawn);
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  count_allocations(state, allocations);
  if (!rig.supervisor.holds_host()) state.SkipWithError("no host after the re-spawn");
}
BENCHMARK(Supervisor_RespawnDecision)->UseManualTime()->Repetitions(3)->ReportAggregatesOnly(true);

// ---- the log line ----

void Log_FormatTimestamp(benchmark::State& state) {
  std::int64_t ticks = 134'000'000'000'000'000;  // mid-2025
  const std::uint64_t before = alloc_counter::allocations();
  for (auto _ : state) {
    std::string text = format_timestamp(ticks);
    benchmark::DoNotOptimize(text.data());
    ticks += 10'000'019;  // a little over a second: every field changes now and then
  }
  count_allocations(state, alloc_counter::allocations() - before);
}
BENCHMARK(Log_FormatTimestamp)->Repetitions(3)->ReportAggregatesOnly(true);

// ---- the table of figures ----

struct Measured {
  double real_ns = 0;
  double cpu_ns = 0;
  std::optional<double> allocs_per_op;
  bool skipped = false;
  std::string error;
};

// Passes every run on to the console and keeps the medians of the repetitions.
class FigureCollector final : public benchmark::ConsoleReporter {
 public:
  // Plain tables: the output usually goes to a log file.
  FigureCollector() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const std::string name = run.run_name.function_name;
      if (run.error_occurred) {
        Measured& m = measured_[name];
        m.skipped = true;
        m.error = run.error_message;
        continue;
      }
      if (!median) continue;
      Measured& m = measured_[name];
      m.real_ns = run.GetAdjustedRealTime();
      m.cpu_ns = run.GetAdjustedCPUTime();
      auto it = run.counters.find("allocs_per_op");
      if (it != run.counters.end()) m.allocs_per_op = it->second.value;
    }
  }

  const Measured* find(const std::string& name) const {
    auto it = measured_.find(name);
    return it == measured_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Measured> measured_;
};

struct Figure {
  std::string benchmark;
  std::string name;
  enum class Metric { RealNs, CpuNs, Allocs } metric;
  std::string target;  // shown as is; "-" for a figure without one
  std::function<bool(double)> meets;  // null: no verdict, the figure is for information
};

std::string format_value(double v, Figure::Metric metric) {
  char buffer[64];
  if (metric == Figure::Metric::Allocs) {
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
  } else if (v >= 100) {
    std::snprintf(buffer, sizeof buffer, "%.0f", v);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
  }
  return buffer;
}

int write_figures(const FigureCollector& collected, const char* path) {
  const auto zero = [](double v) { return v == 0.0; };
  const std::vector<Figure> figures = {
      {"RunLoop_QuietPass", "quiet pass of the run loop (time-out at once, running host)", Figure::Metric::RealNs, "-", nullptr},
      {"RunLoop_QuietPass", "quiet pass: heap allocations", Figure::Metric::Allocs, "0", zero},
      {"RunLoop_QuietPassRealWait", "quiet pass with a real 1 ms wait: CPU time", Figure::Metric::CpuNs, "-", nullptr},
      {"RunLoop_QuietPassRealWait", "quiet pass with a real wait: heap allocations", Figure::Metric::Allocs, "0", zero},
      {"Clock_PerformanceCounterNow", "monotonic clock read (counter scaled to s + ns)", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_IdlePollRunningHost", "idle poll, host running", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_IdlePollRunningHost", "idle poll, host running: heap allocations", Figure::Metric::Allocs, "0", zero},
      {"Supervisor_IdlePollWaitingForLogon", "idle poll, waiting for logon", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_IdlePollWaitingForLogon", "idle poll, waiting for logon: heap allocations", Figure::Metric::Allocs, "0", zero},
      {"Supervisor_IdlePollBackingOff", "idle poll, backing off before the deadline", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_IdlePollBackingOff", "idle poll, backing off: heap allocations", Figure::Metric::Allocs, "0", zero},
      {"Supervisor_SessionChange/NoClass", "session change without class (SessionLock), null log", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_SessionChange/NoClass", "session change without class: heap allocations", Figure::Metric::Allocs, "-", nullptr},
      {"Supervisor_SessionChange/LogonWhileRunning", "session change SessionLogon, host running, null log", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_SessionChange/LogonWhileRunning", "session change SessionLogon: heap allocations", Figure::Metric::Allocs, "-", nullptr},
      {"Supervisor_CrashDecision", "crash decision (exit line + scheduled re-spawn), null log", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_CrashDecision", "crash decision: heap allocations", Figure::Metric::Allocs, "-", nullptr},
      {"Supervisor_RespawnDecision", "re-spawn at its deadline (launch + line), null log", Figure::Metric::RealNs, "-", nullptr},
      {"Supervisor_RespawnDecision", "re-spawn: heap allocations", Figure::Metric::Allocs, "-", nullptr},
      {"Log_FormatTimestamp", "format_timestamp per call", Figure::Metric::RealNs, "-", nullptr},
      {"Log_FormatTimestamp", "format_timestamp: heap allocations", Figure::Metric::Allocs, "-", nullptr},
  };

  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::fprintf(stderr, "service_bench: cannot write %s\n", path);
    return 1;
  }
  int missed = 0;
  for (const Figure& f : figures) {
    const Measured* m = collected.find(f.benchmark);
    const char* unit = f.metric == Figure::Metric::Allocs ? "allocs/op"
                       : f.metric == Figure::Metric::CpuNs ? "ns CPU/op"
                                                           : "ns/op";
    if (m == nullptr || m->skipped || (f.metric == Figure::Metric::Allocs && !m->allocs_per_op)) {
      std::fprintf(out, "%s\t%s\t%s\t%s\t%s\n", f.name.c_str(), "n/a", unit, f.target.c_str(),
                   m && m->skipped ? ("FAIL: " + m->error).c_str() : "FAIL: not measured");
      ++missed;
      continue;
    }
    const double v = f.metric == Figure::Metric::Allocs ? *m->allocs_per_op
                     : f.metric == Figure::Metric::CpuNs ? m->cpu_ns
                                                         : m->real_ns;
    std::string verdict = "info";
    if (f.meets) {
      const bool ok = f.meets(v);
      verdict = ok ? "pass" : "FAIL";
      if (!ok) ++missed;
    }
    std::fprintf(out, "%s\t%s\t%s\t%s\t%s\n", f.name.c_str(), format_value(v, f.metric).c_str(), unit,
                 f.target.c_str(), verdict.c_str());
  }
  // The service wakes once per poll period when nothing happens: five times a second.
  if (const Measured* m = collected.find("RunLoop_QuietPassRealWait"); m && !m->skipped) {
    const double wakes_per_second = 1000.0 / static_cast<double>(POLL_PERIOD.as_millis_saturating());
    std::fprintf(out, "%s\t%.1f\t%s\t%s\t%s\n", "idle CPU per second (5 wake-ups, derived)",
                 m->cpu_ns * wakes_per_second / 1000.0, "us CPU/s", "-", "info");
  }
  std::fclose(out);
  return missed == 0 ? 0 : 2;
}

}  // namespace
}  // namespace quolin::bench

int main(int argc, char** argv) {
  // Our own flag, taken out before Google Benchmark reads the rest.
  const char* figures = nullptr;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    constexpr std::string_view flag = "--figures=";
    if (std::string_view(argv[i]).substr(0, flag.size()) == flag) {
      figures = argv[i] + flag.size();
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  quolin::bench::FigureCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  if (figures == nullptr) return 0;
  return quolin::bench::write_figures(collector, figures);
}
