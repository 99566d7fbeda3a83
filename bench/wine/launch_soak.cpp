// launch_soak: a thousand launch, poll and release cycles of fake_quolin.exe (placed beside this
// program as quolin.exe) through SessionLauncher over the real Win32 calls, with this
// process's handle count taken after a warm-up and again at the end.
//
//   launch_soak.exe [cycles]
//
// The warm-up runs one cycle of each kind, so that whatever the system opens once per process
// on first use (a library, a registry key) is open before the first count. Prints key=value
// lines; the handle count is also sampled every 100 cycles, to show growth that a lucky end
// count could hide. Exits non-zero when a host does not behave as planned or the count at the
// end is not the one after the warm-up (a failed launch is counted and shown, not judged here).
// The Windows test build runs it for a few cycles as the handle-leak test of the real launcher.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "launch_cycles.h"
#include "launcher/host_path.h"
#include "launcher/session_launcher.h"
#include "platform/processes.h"
#include "platform/text.h"
#include "probes.h"
#include "stats.h"

namespace {

namespace fs = std::filesystem;
using namespace quolin;

constexpr std::uint32_t WARM_UP_CYCLES = 3;
constexpr std::uint32_t SAMPLE_EVERY = 100;

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t cycles = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000;
  platform::Processes& api = platform::win32_processes();
  const std::string host_path = resolve_host_path(api);
  const std::u16string wide = platform::utf16_from_wtf8(host_path);
  const fs::path folder = fs::path(std::wstring(wide.begin(), wide.end())).parent_path();
  for (const char* stale : {"quolin-launches.txt", "quolin-crash.txt", "quolin-script.txt"}) {
    std::error_code ignored;
    fs::remove(folder / stale, ignored);
  }

  SessionLauncher launcher(api, host_path);
  soak::CycleTally warm_up;
  soak::run_launch_cycles(launcher, folder, 0, WARM_UP_CYCLES, warm_up);
  const std::optional<std::uint32_t> before = probes::own_handle_count();

  soak::CycleTally tally;
  std::uint32_t lowest = before.value_or(0);
  std::uint32_t highest = before.value_or(0);
  for (std::uint32_t done = 0; done < cycles;) {
    const std::uint32_t step = std::min(SAMPLE_EVERY, cycles - done);
    soak::run_launch_cycles(launcher, folder, done, step, tally);
    done += step;
    if (std::optional<std::uint32_t> now = probes::own_handle_count()) {
      lowest = std::min(lowest, *now);
      highest = std::max(highest, *now);
    }
  }
  const std::optional<std::uint32_t> after = probes::own_handle_count();

  std::printf("cycles=%u\n", cycles);
  std::printf("launched=%u\n", tally.launched);
  std::printf("released_at_once=%u\n", tally.released_at_once);
  std::printf("released_running=%u\n", tally.released_running);
  std::printf("exited_by_itself=%u\n", tally.exited_by_itself);
  std::printf("launch_failures=%u\n", tally.launch_failures + warm_up.launch_failures);
  if (!tally.first_launch_failure.empty()) std::printf("first_launch_failure=%s\n", tally.first_launch_failure.c_str());
  if (before && after) {
    std::printf("handles_before=%u\n", *before);
    std::printf("handles_after=%u\n", *after);
    std::printf("handles_lowest=%u\n", lowest);
    std::printf("handles_highest=%u\n", highest);
  }
  std::printf("launch_median_us=%.1f\n", bench::quantile(tally.launch_micros, 0.5));
  std::printf("launch_p95_us=%.1f\n", bench::quantile(tally.launch_micros, 0.95));
  const std::string& problem = !warm_up.first_problem.empty() ? warm_up.first_problem : tally.first_problem;
  if (!problem.empty()) std::printf("problem=%s\n", problem.c_str());
  if (!before || !after) std::printf("problem=GetProcessHandleCount failed\n");
  return problem.empty() && before && after && *after == *before ? 0 : 1;
}
