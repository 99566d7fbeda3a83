// What the control handler tells the run loop: stop, or a session change.
//
//   ControlMessage m = ControlMessage::session_change("SessionLogon", 3);
//   if (const auto* change = m.as_session_change()) use(change->reason, change->session_id);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quolin {

// The session-change reasons, numbered as the event types of a session-change control
// (WTS_CONSOLE_CONNECT = 1 ... WTS_SESSION_TERMINATE = 11).
enum class SessionReason : std::uint32_t {
  ConsoleConnect = 1,
  ConsoleDisconnect = 2,
  RemoteConnect = 3,
  RemoteDisconnect = 4,
  SessionLogon = 5,
  SessionLogoff = 6,
  SessionLock = 7,
  SessionUnlock = 8,
  SessionRemoteControl = 9,
  SessionCreate = 10,
  SessionTerminate = 11,
};

// The reason an event type stands for; nullopt for 0 and for 12 and above.
std::optional<SessionReason> session_reason_from_event_type(std::uint32_t event_type);

// The reason's one printed form, e.g. "SessionLogon".
std::string_view session_reason_name(SessionReason reason);

struct ControlMessage {
  // The system asked the service to stop.
  struct Stop {
    friend bool operator==(const Stop&, const Stop&) = default;
  };
  // A session changed. `reason` is a SessionReason name: it travels as text because the
  // receiver logs it unchanged and classifies it by name.
  struct SessionChange {
    std::string reason;
    std::uint32_t session_id = 0;
    friend bool operator==(const SessionChange&, const SessionChange&) = default;
  };

  std::variant<Stop, SessionChange> value;

  static ControlMessage stop() { return {Stop{}}; }
  static ControlMessage session_change(std::string reason, std::uint32_t session_id) {
    return {SessionChange{std::move(reason), session_id}};
  }

  bool is_stop() const { return std::holds_alternative<Stop>(value); }
  const SessionChange* as_session_change() const { return std::get_if<SessionChange>(&value); }

  friend bool operator==(const ControlMessage&, const ControlMessage&) = default;
};

}  // namespace quolin
