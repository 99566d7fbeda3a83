#include "launch_cycles.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

namespace quolin::soak {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t CRASH_EXIT_CODE = 3;  // what fake_quolin exits with on quolin-crash.txt
constexpr auto POLL_STEP = std::chrono::milliseconds(5);
// Only a guard against a hang: a host starts and ends within a second even on a loaded machine.
constexpr auto HANG_GUARD = std::chrono::seconds(60);

std::uintmax_t size_of(const fs::path& file) {
  std::error_code error;
  std::uintmax_t size = fs::file_size(file, error);
  return error ? 0 : size;
}

// Waits until a line written after `offset` records the launch of `pid`.
bool await_launch_record(const fs::path& launches, std::uintmax_t offset, std::uint32_t pid) {
  const std::string wanted = " pid=" + std::to_string(pid) + " ";
  const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
  std::uintmax_t seen = offset;
  while (std::chrono::steady_clock::now() < give_up) {
    if (std::uintmax_t size = size_of(launches); size > seen) {
      std::ifstream in(launches, std::ios::binary);
      in.seekg(static_cast<std::streamoff>(offset));
      std::string added((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (added.find(wanted) != std::string::npos) return true;
      seen = size;
    }
    std::this_thread::sleep_for(POLL_STEP);
  }
  return false;
}

std::optional<HostExit> poll_until_exited(HostLauncher& launcher, const HostProcess& host) {
  const auto give_up = std::chrono::steady_clock::now() + HANG_GUARD;
  while (std::chrono::steady_clock::now() < give_up) {
    if (std::optional<HostExit> exit = launcher.poll_exit(host)) return exit;
    std::this_thread::sleep_for(POLL_STEP);
  }
  return std::nullopt;
}

}  // namespace

void run_launch_cycles(HostLauncher& launcher, const fs::path& host_folder, std::uint32_t first_cycle,
                       std::uint32_t count, CycleTally& tally) {
  const fs::path launches = host_folder / "quolin-launches.txt";
  const fs::path crash = host_folder / "quolin-crash.txt";
  auto problem = [&](std::uint32_t cycle, const std::string& what) {
    if (tally.first_problem.empty()) tally.first_problem = "cycle " + std::to_string(cycle) + ": " + what;
  };

  for (std::uint32_t cycle = first_cycle; cycle < first_cycle + count; ++cycle) {
    const std::uintmax_t offset = size_of(launches);
    const auto start = std::chrono::steady_clock::now();
    LaunchOutcome outcome = launcher.launch();
    const auto end = std::chrono::steady_clock::now();
    auto* launched = std::get_if<Launched>(&outcome);
    if (!launched) {
      auto* failed = std::get_if<LaunchFailed>(&outcome);
      if (tally.launch_failures++ == 0) {
        tally.first_launch_failure = "cycle " + std::to_string(cycle) + ": " +
                                     (failed ? failed->text : std::string("no console session"));
      }
      continue;
    }
    ++tally.launched;
    tally.launch_micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    HostProcess host = std::move(launched->host);

    switch (cycle % 3) {
      case 0:
        if (launcher.poll_exit(host)) problem(cycle, "the host ended before it was released");
        ++tally.released_at_once;
        break;
      case 1:
        if (!await_launch_record(launches, offset, host.pid)) problem(cycle, "the host never recorded its launch");
        if (launcher.poll_exit(host)) problem(cycle, "the host ended before it was released");
        ++tally.released_running;
        break;
      default: {
        if (!await_launch_record(launches, offset, host.pid)) problem(cycle, "the host never recorded its launch");
        std::ofstream(crash, std::ios::binary | std::ios::trunc).flush();
        std::optional<HostExit> exit = poll_until_exited(launcher, host);
        if (!exit || exit->code != CRASH_EXIT_CODE) problem(cycle, "the host did not exit with code 3");
        ++tally.exited_by_itself;
        break;
      }
    }
    launcher.release(std::move(host));
  }
}

}  // namespace quolin::soak
