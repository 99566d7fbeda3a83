// The control handler over any sequence of controls, event types and notification records, with
// a real channel behind it: every reply is 0 or 120 and the one its table gives, a session
// change carries the session id from bytes 4-7 of the record (the record is an allocation of
// exactly 8 bytes, so a read past it is a finding under the sanitizers), and the run loop
// receives exactly the messages sent before the sending end was given up, in order.
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "service/control_handler.h"
#include "service/control_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quolin;
  fuzz::Input in(data, size);
  // Stop, pause, continue, interrogate, shutdown, session change, pre-shutdown, a user code.
  static constexpr std::uint32_t KNOWN_CONTROLS[] = {1, 2, 3, 4, 5, 14, 15, 128};
  auto [sender, receiver] = make_control_channel();
  ControlHandlerContext context{std::move(sender)};

  std::vector<ControlMessage> sent;
  bool given_up = false;
  for (int step = 0; step < 32 && in.left() > 0; ++step) {
    // Mostly the codes and event types the handler knows, sometimes anything.
    const std::uint8_t pick = in.u8();
    const std::uint32_t control = pick < 0xF0 ? KNOWN_CONTROLS[pick % 8] : in.next<std::uint32_t>();
    const std::uint8_t type = in.u8();
    const std::uint32_t event_type = type < 0xF0 ? type % 13u : in.next<std::uint32_t>();
    std::unique_ptr<unsigned char[]> record;
    std::uint32_t session_id = 0;
    if ((in.u8() & 1) != 0) {
      record = std::make_unique<unsigned char[]>(8);
      for (int i = 0; i < 8; ++i) record[i] = in.u8();
      for (int i = 7; i >= 4; --i) session_id = session_id << 8 | record[i];
    }

    const ControlDecision decision = translate_control(control, event_type, session_id);
    FUZZ_CHECK(decision.reply == 0 || decision.reply == 120);
    FUZZ_CHECK(!decision.message || decision.reply == 0);
    if (const auto* change = decision.message ? decision.message->as_session_change() : nullptr) {
      FUZZ_CHECK(change->session_id == session_id);
    }
    FUZZ_CHECK(handle_control(control, event_type, record.get(), &context) == decision.reply);
    if (!given_up && decision.message) sent.push_back(*decision.message);
    given_up = given_up || decision.give_up_sender;
    FUZZ_CHECK(context.sender.has_value() == !given_up);
  }

  // Everything sent arrives, in order; then the channel is empty, or disconnected when the
  // sending end was given up.
  for (const ControlMessage& m : sent) {
    auto received = receiver.receive_until(ControlReceiver::Clock::time_point{});
    FUZZ_CHECK(received.ok() && received.value() == m);
  }
  auto last = receiver.receive_until(ControlReceiver::Clock::time_point{});
  FUZZ_CHECK(!last.ok() && last.error() == (given_up ? ReceiveError::Disconnected : ReceiveError::TimedOut));
  return 0;
}
