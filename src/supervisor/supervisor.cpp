#include "supervisor/supervisor.h"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <variant>

namespace quolin {
namespace {

// U+2014 EM DASH in UTF-8, spelled as bytes so that the source charset cannot change it.
constexpr std::string_view EM_DASH = "\xE2\x80\x94";

std::string cat(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out += p;
  return out;
}

std::string decimal(std::uint64_t n) { return std::to_string(n); }

// "0x" + 8 upper-case hex digits + " (" + the same bits as a signed 32-bit number + ")".
std::string exit_code_text(const std::optional<std::uint32_t>& code) {
  if (!code) return "<unavailable>";
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out += HEX[(*code >> shift) & 0xFu];
  out += " (";
  out += std::to_string(static_cast<std::int32_t>(*code));
  out += ')';
  return out;
}

// What the exit code of a crashed Windows program means, for the events' readers (1002, 1003);
// the log line keeps the bare code. Matched on all 32 bits: 0xFFFFFFFD (-3) is not abort()'s 3.
struct CodeMeaning {
  std::uint32_t code;
  std::string_view words;
};
constexpr CodeMeaning CODE_MEANINGS[] = {
    {0xC0000005u, "an access violation"},
    {0xC00000FDu, "a stack overflow"},
    {0xC0000409u, "a fail-fast exit or stack buffer overrun"},
    {0xC0000374u, "heap corruption"},
    {0xC000001Du, "an illegal instruction"},
    {0xC0000096u, "a privileged instruction"},
    {0xC0000094u, "an integer division by zero"},
    {0xC0000135u, "a DLL not found"},
    {0xC0000142u, "a DLL that failed to initialize"},
    {0xC0000139u, "an entry point not found in a DLL"},
    {0xE06D7363u, "an unhandled C++ exception"},
    {3u, "the code of abort()"},
    {0xC000013Au, "a Ctrl+C or Ctrl+Break"},
};

// The code as the log line gives it, then its meaning when the table knows the code.
std::string event_code_text(const std::optional<std::uint32_t>& code) {
  std::string text = exit_code_text(code);
  if (!code) return text;
  for (const CodeMeaning& m : CODE_MEANINGS) {
    if (m.code == *code) return cat({text, ", ", m.words});
  }
  return text;
}

std::string millis_text(Duration d) { return decimal(d.as_millis_saturating()); }

// The wording of every line the Supervisor writes, each in exactly one place.
namespace lines {

std::string spawned_at_start() { return "spawned user-session host at service start"; }

std::string no_session_at_start() {
  return cat({"no active user session at start ", EM_DASH, " waiting for logon"});
}

std::string initial_spawn_failed(std::string_view error) {
  return cat({"initial spawn failed: ", error});
}

std::string session_change(std::string_view reason, std::uint32_t session_id) {
  return cat({"SessionChange: reason=", reason, " session_id=", decimal(session_id)});
}

std::string already_running(std::string_view reason) {
  return cat({reason, ": child already running, no-op"});
}

std::string spawned_after(std::string_view reason) {
  return cat({"spawned user-session host after ", reason});
}

std::string no_console_session(std::string_view reason) {
  return cat({reason, " but no active console session resolved"});
}

std::string spawn_after_failed(std::string_view reason, std::string_view error) {
  return cat({"spawn after ", reason, " failed: ", error});
}

std::string not_host_session(std::string_view reason, std::uint32_t session_id,
                             std::uint32_t host_session) {
  return cat({reason, ": session ", decimal(session_id), " is not the host's session ",
              decimal(host_session), ", no-op"});
}

std::string not_tied(std::uint32_t pid, std::string_view error) {
  return cat({"user-session host pid=", decimal(pid),
              " will outlive a crash of the service: ", error});
}

std::string cleared_child(std::string_view reason) {
  return cat({reason, ": cleared child handle (process exits with session)"});
}

std::string exited_cleanly(std::uint32_t pid, Duration run) {
  // One sentence over two source lines, kept out of the list below so that it cannot be
  // mistaken for two elements with a comma missing.
  constexpr std::string_view assumption =
      " assuming another quolin.exe is already running in this session; pausing "
      "re-spawn until next SessionLogon";
  return cat({"user-session host pid=", decimal(pid), " exited cleanly in ", millis_text(run),
              " ms ", EM_DASH, assumption});
}

std::string exited(std::uint32_t pid, const std::optional<std::uint32_t>& code,
                   std::uint32_t consecutive_crashes) {
  return cat({"user-session host pid=", decimal(pid), " exited (code=", exit_code_text(code),
              ", consecutive_crashes=", decimal(consecutive_crashes), ")"});
}

std::string crash_budget_exceeded() {
  return cat({"crash budget exceeded (", decimal(Supervisor::CRASH_BUDGET),
              "); pausing re-spawn until next SessionLogon"});
}

std::string scheduled_respawn(Duration delay) {
  return cat({"scheduled re-spawn in ", millis_text(delay), " ms"});
}

std::string respawned(std::uint32_t attempt) {
  return cat({"re-spawned user-session host (attempt ", decimal(attempt), "/",
              decimal(Supervisor::CRASH_BUDGET), ")"});
}

std::string respawn_deferred() { return "re-spawn deferred: no active user session"; }

std::string respawn_failed(std::string_view error) { return cat({"re-spawn failed: ", error}); }

std::string terminated(std::uint32_t pid) {
  return cat({"terminated user-session host pid=", decimal(pid)});
}

}  // namespace lines

// The occasions that events name, in the words of the log lines.
constexpr std::string_view SERVICE_START = "service start";
constexpr std::string_view RESPAWN = "re-spawn";
constexpr std::string_view SERVICE_STOP = "service stop";

std::string respawn_attempt(std::uint32_t attempt) {
  return cat({RESPAWN, " attempt ", decimal(attempt), "/", decimal(Supervisor::CRASH_BUDGET)});
}

enum class SessionClass { Logon, Logoff, None };

// By containment and in this order, so that a name holding both kinds counts as a logon.
SessionClass classify(std::string_view reason) {
  auto has = [reason](std::string_view part) { return reason.find(part) != std::string_view::npos; };
  if (has("SessionLogon") || has("ConsoleConnect")) return SessionClass::Logon;
  if (has("SessionLogoff") || has("ConsoleDisconnect")) return SessionClass::Logoff;
  return SessionClass::None;
}

std::uint32_t saturating_increment(std::uint32_t n) {
  return n == std::numeric_limits<std::uint32_t>::max() ? n : n + 1;
}

// The delay for a count of at least 1; the table's last entry serves every count beyond it.
Duration respawn_delay(std::uint32_t consecutive_crashes) {
  const std::uint32_t last = Supervisor::RESPAWN_DELAYS.size() - 1;
  const std::uint32_t index = consecutive_crashes == 0 ? 0 : std::min(consecutive_crashes - 1, last);
  return Supervisor::RESPAWN_DELAYS[index];
}

}  // namespace

Supervisor::Supervisor(HostLauncher& launcher, MonotonicClock& clock, LineWriter& log,
                       EventSink& events)
    : launcher_(launcher), clock_(clock), log_(log), events_(events) {}

Supervisor::~Supervisor() { release_held(); }

std::optional<std::uint32_t> Supervisor::host_pid() const {
  if (!host_) return std::nullopt;
  return host_->process.pid;
}

Status<LogError> Supervisor::start() {
  consecutive_crashes_ = 0;
  const std::string success = lines::spawned_at_start();
  LaunchOutcome outcome = launcher_.launch();
  if (auto* launched = std::get_if<Launched>(&outcome)) {
    return record_launched(std::move(*launched), success, SERVICE_START);
  }
  if (std::holds_alternative<NoActiveSession>(outcome)) return write(lines::no_session_at_start());
  const std::string& error = std::get<LaunchFailed>(outcome).text;
  return write(lines::initial_spawn_failed(error), events::LAUNCH_FAILED, {SERVICE_START, error});
}

Status<LogError> Supervisor::on_session_change(std::string_view reason, std::uint32_t session_id) {
  if (auto s = write(lines::session_change(reason, session_id)); !s) return s;
  switch (classify(reason)) {
    case SessionClass::Logon:
      return on_logon(reason);
    case SessionClass::Logoff:
      return on_logoff(reason, session_id);
    case SessionClass::None:
      break;
  }
  return {};
}

Status<LogError> Supervisor::on_logon(std::string_view reason) {
  consecutive_crashes_ = 0;
  respawn_deadline_.reset();
  if (host_) return write(lines::already_running(reason));

  const std::string success = lines::spawned_after(reason);
  LaunchOutcome outcome = launcher_.launch();
  if (auto* launched = std::get_if<Launched>(&outcome)) return record_launched(std::move(*launched), success, reason);
  // Neither retried nor counted: the user is there, so the next logon is the next chance.
  if (std::holds_alternative<NoActiveSession>(outcome)) return write(lines::no_console_session(reason));
  const std::string& error = std::get<LaunchFailed>(outcome).text;
  return write(lines::spawn_after_failed(reason, error), events::LAUNCH_FAILED, {reason, error});
}

Status<LogError> Supervisor::on_logoff(std::string_view reason, std::uint32_t session_id) {
  // Another user signing out of their own session leaves the console user's host alone.
  if (host_session_ && session_id != *host_session_) {
    return write(lines::not_host_session(reason, session_id, *host_session_));
  }
  const std::optional<std::uint32_t> pid = host_pid();
  // The host goes before its line, so that a failed line cannot leave it running.
  release_held();
  consecutive_crashes_ = 0;
  respawn_deadline_.reset();
  if (!pid) return {};
  return write(lines::cleared_child(reason), events::HOST_ENDED, {decimal(*pid), reason});
}

Status<LogError> Supervisor::on_poll_timeout() {
  if (host_) {
    std::optional<HostExit> exit = launcher_.poll_exit(host_->process);
    if (!exit) return {};
    return handle_exit(*exit);
  }
  return respawn_if_due();
}

Status<LogError> Supervisor::handle_exit(const HostExit& exit) {
  const Instant now = clock_.now();
  const Duration run = now.saturating_since(host_->launched_at);
  const std::uint32_t pid = host_->process.pid;
  release_held();

  if (exit.code == 0u && run < CLEAN_EXIT_WINDOW) {
    // Another instance already serves this session; starting ours again would only repeat this.
    consecutive_crashes_ = 0;
    respawn_deadline_.reset();
    return write(lines::exited_cleanly(pid, run), events::ANOTHER_INSTANCE, {decimal(pid), millis_text(run)});
  }

  consecutive_crashes_ = run >= STABLE_RUN_TIME ? 1 : saturating_increment(consecutive_crashes_);
  if (auto s = write(lines::exited(pid, exit.code, consecutive_crashes_)); !s) return s;
  const std::string pid_text = decimal(pid), code = event_code_text(exit.code),
                    crashes = decimal(consecutive_crashes_);

  if (consecutive_crashes_ > CRASH_BUDGET) {
    respawn_deadline_.reset();
    return write(lines::crash_budget_exceeded(), events::CRASH_BUDGET_SPENT,
                 {pid_text, code, crashes, decimal(CRASH_BUDGET)});
  }

  const Duration delay = respawn_delay(consecutive_crashes_);
  respawn_deadline_ = now.plus(delay);
  if (auto s = write(lines::scheduled_respawn(delay), events::HOST_CRASHED,
                     {pid_text, code, crashes, millis_text(delay)});
      !s) {
    return s;
  }
  return respawn_if_due();
}

Status<LogError> Supervisor::respawn_if_due() {
  if (!respawn_deadline_) return {};
  const Instant now = clock_.now();
  if (now < *respawn_deadline_) return {};
  return respawn(now);
}

Status<LogError> Supervisor::respawn(Instant now) {
  const std::string success = lines::respawned(consecutive_crashes_);
  const std::string occasion = respawn_attempt(consecutive_crashes_);
  LaunchOutcome outcome = launcher_.launch();
  if (auto* launched = std::get_if<Launched>(&outcome)) return record_launched(std::move(*launched), success, occasion);
  if (std::holds_alternative<NoActiveSession>(outcome)) {
    // Nobody to launch for: the next logon brings the host back.
    respawn_deadline_.reset();
    return write(lines::respawn_deferred());
  }

  const std::string& error = std::get<LaunchFailed>(outcome).text;
  if (auto s = write(lines::respawn_failed(error), events::LAUNCH_FAILED, {RESPAWN, error}); !s) return s;
  consecutive_crashes_ = saturating_increment(consecutive_crashes_);
  if (consecutive_crashes_ > CRASH_BUDGET) {
    respawn_deadline_.reset();
  } else {
    respawn_deadline_ = now.plus(respawn_delay(consecutive_crashes_));
  }
  return {};
}

Status<LogError> Supervisor::shut_down() {
  if (!host_) return {};
  const std::uint32_t pid = host_->process.pid;
  release_held();
  return write(lines::terminated(pid), events::HOST_ENDED, {decimal(pid), SERVICE_STOP});
}

void Supervisor::abandon() { release_held(); }

Status<LogError> Supervisor::record_launched(Launched launched, std::string_view line,
                                             std::string_view occasion) {
  host_session_ = launched.session_id;
  if (auto s = log_.write_line(line); !s) {
    launcher_.release(std::move(launched.host));
    release_held();
    return s;
  }
  const std::uint32_t pid = launched.host.pid;
  host_ = HeldHost{std::move(launched.host), clock_.now()};
  respawn_deadline_.reset();
  events_.report(events::HOST_LAUNCHED, {occasion, decimal(pid), decimal(launched.session_id)});
  if (launched.job_error.empty()) return {};
  return write(lines::not_tied(pid, launched.job_error), events::HOST_NOT_TIED, {decimal(pid), launched.job_error});
}

Status<LogError> Supervisor::write(std::string_view line) {
  auto s = log_.write_line(line);
  if (!s) release_held();
  return s;
}

Status<LogError> Supervisor::write(std::string_view line, EventKind event,
                                   std::initializer_list<std::string_view> strings) {
  if (auto s = write(line); !s) return s;
  events_.report(event, strings);
  return {};
}

void Supervisor::release_held() {
  if (!host_) return;
  HostProcess process = std::move(host_->process);
  host_.reset();
  launcher_.release(std::move(process));
}

}  // namespace quolin
