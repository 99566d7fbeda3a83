// Launch, poll and release cycles of a real host through the service's own launcher, for the
// soak benchmark under Wine (launch_soak), which also judges the handle count.
//
//   SessionLauncher launcher(api, resolve_host_path(api));   // fake_quolin.exe as quolin.exe
//   soak::CycleTally tally;
//   soak::run_launch_cycles(launcher, host_folder, 0, 1000, tally);
//   if (!tally.first_problem.empty()) ...
//
// Cycle n ends its host in one of three ways, by n % 3, so that every path through the
// launcher and the exit poll is taken over and over:
//   0  released at once: one poll right after the launch, then release, while the new process
//      is most likely still starting;
//   1  released while running: the host has recorded its launch, one poll says it still runs,
//      then release terminates it;
//   2  exits by itself: the host has recorded its launch, quolin-crash.txt makes it exit with
//      code 3, polls (every 5 ms, as a quiet service would every 200 ms) see that code, then
//      release closes the handle.
// The host folder must hold no quolin-script.txt (every launch runs until ended), or one whose
// lines are all `run`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "launcher/host_launcher.h"

namespace quolin::soak {

struct CycleTally {
  std::uint32_t launched = 0;
  std::uint32_t released_at_once = 0;
  std::uint32_t released_running = 0;
  std::uint32_t exited_by_itself = 0;
  // Launches that gave no host. Kept apart from the problems below: under heavy load Wine
  // now and then fails a process start (CreateProcessAsUserW: ERROR_INTERNAL_ERROR), which
  // the launcher must report and survive like any other failed launch.
  std::uint32_t launch_failures = 0;
  std::string first_launch_failure;
  // The first cycle whose host did not behave as described above; empty when all did.
  std::string first_problem;
  // How long each launch() took, in microseconds.
  std::vector<double> launch_micros;
};

// Runs cycles first_cycle .. first_cycle + count - 1, adding to `tally`.
void run_launch_cycles(HostLauncher& launcher, const std::filesystem::path& host_folder,
                       std::uint32_t first_cycle, std::uint32_t count, CycleTally& tally);

}  // namespace quolin::soak
