#include "service/control_message.h"

#include <array>

namespace quolin {
namespace {

constexpr std::array<std::string_view, 11> REASON_NAMES = {
    "ConsoleConnect", "ConsoleDisconnect", "RemoteConnect",        "RemoteDisconnect",
    "SessionLogon",   "SessionLogoff",     "SessionLock",          "SessionUnlock",
    "SessionRemoteControl", "SessionCreate", "SessionTerminate",
};

}  // namespace

std::optional<SessionReason> session_reason_from_event_type(std::uint32_t event_type) {
  if (event_type < 1 || event_type > REASON_NAMES.size()) return std::nullopt;
  return static_cast<SessionReason>(event_type);
}

std::string_view session_reason_name(SessionReason reason) {
  auto index = static_cast<std::uint32_t>(reason);
  if (index < 1 || index > REASON_NAMES.size()) return "Unknown";
  return REASON_NAMES[index - 1];
}

}  // namespace quolin
