// The decision core of the service: when the user-session host is launched, launched again
// after a crash and after which delay, when re-launching pauses until the next logon, and when
// the host is ended. Every decision is written as one log line; the significant ones (a launch,
// a crash, a pause, a failed launch, an ended host) are also reported to the event sink, once
// their line is written.
//
//   Supervisor supervisor(launcher, clock, log, events);
//   if (auto s = supervisor.start(); !s) { supervisor.abandon(); return s.error(); }
//   // then, from the run loop's one thread, one call at a time:
//   //   on_session_change(reason, session_id) for every session-change control,
//   //   on_poll_timeout() after every wait that ended without a control,
//   //   shut_down() when the loop ends normally, abandon() when it ends with an error.
//
// It makes no system call: the launcher, the clock, the line writer and the event sink are its
// whole outside world, and all four must outlive it. It owns the host record (the launcher's HostProcess and
// its launch instant), the count of consecutive crashes and the pending re-spawn deadline.
// Every host it was given leaves through HostLauncher::release, exactly once.
//
// A line that cannot be written is fatal: the operation that met it releases any host it holds
// (also one it launched a moment before and whose success line failed), clears the host record
// and returns the writer's error unchanged. After that only abandon() is meant to be called.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "launcher/host_launcher.h"
#include "launcher/host_process.h"
#include "log/event_sink.h"
#include "log/line_writer.h"
#include "platform/clock.h"
#include "platform/duration.h"
#include "platform/result.h"

namespace quolin {

class Supervisor {
 public:
  // Re-spawns stop once consecutive_crashes exceeds this, that is at 6.
  static constexpr std::uint32_t CRASH_BUDGET = 5;
  // The delay before a re-spawn is entry min(consecutive_crashes - 1, 4). A table on purpose:
  // the last step is 30 s, not 16 s.
  static constexpr std::array<Duration, 5> RESPAWN_DELAYS = {
      Duration::from_secs(1), Duration::from_secs(2), Duration::from_secs(4),
      Duration::from_secs(8), Duration::from_secs(30)};
  // Exit code 0 sooner than this after the launch: another instance already runs in the session.
  static constexpr Duration CLEAN_EXIT_WINDOW = Duration::from_secs(5);
  // A host that ran at least this long before it ended starts a new run of crashes at 1.
  static constexpr Duration STABLE_RUN_TIME = Duration::from_secs(60);

  Supervisor(HostLauncher& launcher, MonotonicClock& clock, LineWriter& log, EventSink& events);
  // Releases a host that is still held, so that no host is ever dropped without `release`.
  ~Supervisor();

  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Once, after the service reported itself running: launches the host if a user is at the
  // console. A launch that fails or finds nobody is neither retried nor counted.
  Status<LogError> start();

  // A session change: `reason` is the SessionReason name as received. Logon class launches (or
  // keeps a running host), logoff class releases the host; both reset the crash count and drop a
  // pending re-spawn. A logoff-class change of a session other than the one the latest host was
  // launched into changes nothing. Other reasons are only logged.
  Status<LogError> on_session_change(std::string_view reason, std::uint32_t session_id);

  // A wait ended without a control: polls a held host for its exit, or runs a re-spawn whose
  // deadline has come.
  Status<LogError> on_poll_timeout();

  // The run loop ends normally: releases a held host. A pending re-spawn is not carried out.
  Status<LogError> shut_down();

  // The run loop ends with a fatal error: releases a held host and writes nothing.
  void abandon();

  // Read-only view of the state, for the checks of its invariants (the tests and the soak).
  bool holds_host() const { return host_.has_value(); }
  std::optional<std::uint32_t> host_pid() const;
  std::uint32_t consecutive_crashes() const { return consecutive_crashes_; }
  std::optional<Instant> respawn_deadline() const { return respawn_deadline_; }

 private:
  struct HeldHost {
    HostProcess process;
    Instant launched_at;
  };

  Status<LogError> on_logon(std::string_view reason);
  Status<LogError> on_logoff(std::string_view reason, std::uint32_t session_id);
  Status<LogError> handle_exit(const HostExit& exit);
  Status<LogError> respawn_if_due();
  Status<LogError> respawn(Instant now);

  // Writes `line` (made before the launch, so that making it cannot fail with a host in hand),
  // then records the host with the launch instant read right after the write, reports the
  // launch with `occasion`, and says when the host is not tied to the service. If the line
  // fails, the new host is released instead.
  Status<LogError> record_launched(Launched launched, std::string_view line, std::string_view occasion);
  // Writes one line; if it fails, releases a held host before handing the error back.
  Status<LogError> write(std::string_view line);
  // Writes one line and, once it is written, reports its event.
  Status<LogError> write(std::string_view line, EventKind event, std::initializer_list<std::string_view> strings);
  // Takes the host out of the record and gives it to the launcher's release.
  void release_held();

  HostLauncher& launcher_;
  MonotonicClock& clock_;
  LineWriter& log_;
  EventSink& events_;

  std::optional<HeldHost> host_;
  std::uint32_t consecutive_crashes_ = 0;
  std::optional<Instant> respawn_deadline_;
  // The console session of the latest launch, kept after the host ends until the next launch.
  std::optional<std::uint32_t> host_session_;
};

}  // namespace quolin
