#include "service/control_handler.h"

#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/scm_codes.h"
#include "service/wide_name.h"

namespace quolin {

static_assert(std::is_convertible_v<decltype(&handle_control), platform::HandlerExFunction>,
              "handle_control is registered as the HandlerEx callback");

ControlDecision translate_control(std::uint32_t control, std::uint32_t event_type,
                                  std::uint32_t session_id) {
  switch (control) {
    case scm::SERVICE_CONTROL_STOP:
      return {scm::NO_ERROR, ControlMessage::stop(), true};
    case scm::SERVICE_CONTROL_INTERROGATE:
      // The system keeps the last status reported; nothing is reported again.
      return {scm::NO_ERROR, std::nullopt, false};
    case scm::SERVICE_CONTROL_SESSIONCHANGE:
      if (auto reason = session_reason_from_event_type(event_type)) {
        return {scm::NO_ERROR,
                ControlMessage::session_change(std::string(session_reason_name(*reason)),
                                               session_id),
                false};
      }
      return {scm::ERROR_CALL_NOT_IMPLEMENTED, std::nullopt, false};
    case scm::SERVICE_CONTROL_SHUTDOWN:
    case scm::SERVICE_CONTROL_PRESHUTDOWN:
      // No Stop: the run loop learns of the end from the disconnection.
      return {scm::ERROR_CALL_NOT_IMPLEMENTED, std::nullopt, true};
    default:
      return {scm::ERROR_CALL_NOT_IMPLEMENTED, std::nullopt, false};
  }
}

// noexcept: nothing may unwind into the system's dispatcher; running out of memory here ends the
// process, as it would anywhere else in the service.
std::uint32_t handle_control(std::uint32_t control, std::uint32_t event_type, void* event_data,
                             void* context) noexcept {
  std::uint32_t session_id = 0;
  if (control == scm::SERVICE_CONTROL_SESSIONCHANGE &&
      session_reason_from_event_type(event_type).has_value() && event_data != nullptr) {
    // WTSSESSION_NOTIFICATION: cbSize in bytes 0-3, dwSessionId in bytes 4-7. cbSize is not
    // trusted and nothing past byte 7 is read.
    std::memcpy(&session_id, static_cast<const unsigned char*>(event_data) + 4, sizeof session_id);
  }
  ControlDecision decision = translate_control(control, event_type, session_id);

  auto* handler = static_cast<ControlHandlerContext*>(context);
  if (handler == nullptr || !handler->sender.has_value()) return decision.reply;
  if (decision.message.has_value()) {
    // A message handed back means the run loop has gone; it is dropped, the reply stays.
    Status<ControlMessage> sent = handler->sender->send(std::move(*decision.message));
    static_cast<void>(sent);
  }
  if (decision.give_up_sender) handler->sender.reset();
  return decision.reply;
}

Result<platform::ServiceStatusHandle, ServiceError> register_control_handler(
    platform::ServiceControl& api, std::string_view service_name, ControlSender sender) {
  auto name = to_wide_name(service_name);
  if (!name) return fail(std::move(name).error());

  auto* context = new ControlHandlerContext{std::move(sender)};
  platform::SysResult<platform::ServiceStatusHandle> handle =
      api.RegisterServiceCtrlHandlerExW(name.value().c_str(), &handle_control, context);
  if (!handle) {
    // The system holds no reference to a context it refused: free it, which drops the sender
    // and so disconnects the channel.
    delete context;
    return fail(ServiceError::winapi(handle.error().code()));
  }
  return handle.value();
}

}  // namespace quolin
