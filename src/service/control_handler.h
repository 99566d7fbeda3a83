// The control handler: the callback through which the Service Control Manager delivers every
// control. It answers at once and passes stop and session changes to the run loop over the
// ControlChannel. It never logs, never reports a status and never waits.
//
//   auto [sender, receiver] = make_control_channel();
//   auto handle = register_control_handler(scm, "QuolinHost", std::move(sender));
//   // from now on the dispatcher thread calls handle_control; the run loop receives.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/result.h"
#include "platform/service_control.h"
#include "service/control_channel.h"
#include "service/control_message.h"
#include "service/service_error.h"

namespace quolin {

// What one control calls for.
struct ControlDecision {
  std::uint32_t reply = 0;                // NO_ERROR (0) or ERROR_CALL_NOT_IMPLEMENTED (120)
  std::optional<ControlMessage> message;  // what to send, if anything
  bool give_up_sender = false;            // drop the sending end afterwards (after the send)
};

// The platform-free decision for a control code and event type. `session_id` is used only for a
// session change (code 14) with event type 1 to 11:
//   stop (1): send Stop, give up the sender, reply 0
//   interrogate (4): reply 0
//   session change (14), event type 1-11: send SessionChange{reason name, session_id}, reply 0
//   session change (14), any other event type: reply 120
//   shutdown (5), pre-shutdown (15): give up the sender without sending, reply 120
//   every other code: reply 120
ControlDecision translate_control(std::uint32_t control, std::uint32_t event_type,
                                  std::uint32_t session_id);

// The handler's context: the only sending end of the ControlChannel, until a stop, shutdown or
// pre-shutdown control gives it up (it is then empty and never touched again).
struct ControlHandlerContext {
  std::optional<ControlSender> sender;
};

// The HandlerEx entry point. `context` is a ControlHandlerContext. For a session change with
// event type 1 to 11, `event_data` points at a WTSSESSION_NOTIFICATION: only its first 8 bytes
// are read and its dwSessionId (bytes 4-7) used, whatever its cbSize says; a null pointer counts
// as session 0. No other control reads `event_data`. Returns 0 or 120, nothing else.
//
// Once the sending end is given up, every control is still answered with the reply of the
// decision table (so a second stop gets 0, a session change 0), and its message is dropped: the
// same as a send whose receiver is gone. The reply then depends on the control alone, and the
// system sees no difference between a service that is stopping and one that is not.
std::uint32_t handle_control(std::uint32_t control, std::uint32_t event_type, void* event_data,
                             void* context) noexcept;

// Registers handle_control for `service_name` with `sender` as its context. The context is moved
// to the heap and deliberately never freed: the system may call the handler until the process
// ends, even after the run loop has returned, and would then read freed memory. On failure the
// sender is dropped, so the channel is disconnected; a name holding a NUL fails with
// ArgumentHasNulByte("service name") before anything is handed to the system.
Result<platform::ServiceStatusHandle, ServiceError> register_control_handler(
    platform::ServiceControl& api, std::string_view service_name, ControlSender sender);

}  // namespace quolin
