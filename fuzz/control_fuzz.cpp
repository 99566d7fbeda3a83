// The control handler over any sequence of controls, event types and notification records,
// with a real channel behind it: every reply is 0 or 120 and the one its table gives, a
// session change carries the session id from bytes 4-7 of the record
// (nothing past byte 7 is read: the record is an allocation of exactly 8 bytes), and the run
// loop receives exactly the messages sent before the sending end was given up, in order.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "service/control_handler.h"
#include "service/control_message.h"

namespace {

// Mostly the codes the handler knows, sometimes anything.
std::uint32_t pick_control(quolin::fuzz::Input& in) {
  constexpr std::array<std::uint32_t, 8> known = {1, 2, 3, 4, 5, 14, 15, 128};
  const std::uint8_t b = in.u8();
  if (b < 0xF0) return known[b % known.size()];
  return in.u32();
}

std::uint32_t pick_event_type(quolin::fuzz::Input& in) {
  const std::uint8_t b = in.u8();
  if (b < 0xF0) return b % 13;
  return in.u32();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quolin;
  fuzz::Input in(data, size);
  auto [sender, receiver] = make_control_channel();
  ControlHandlerContext context{std::move(sender)};

  std::vector<ControlMessage> expected;
  bool given_up = false;
  for (int step = 0; step < 32 && in.left() > 0; ++step) {
    const std::uint32_t control = pick_control(in);
    const std::uint32_t event_type = pick_event_type(in);
    const bool with_record = (in.u8() & 1) != 0;
    std::unique_ptr<unsigned char[]> record;
    std::uint32_t session_id = 0;
    if (with_record) {
      record = std::make_unique<unsigned char[]>(8);
      for (int i = 0; i < 8; ++i) record[i] = in.u8();
      session_id = static_cast<std::uint32_t>(record[4]) | static_cast<std::uint32_t>(record[5]) << 8 |
                   static_cast<std::uint32_t>(record[6]) << 16 | static_cast<std::uint32_t>(record[7]) << 24;
    }

    // The table is the handler's own (translate_control); what must hold whatever it says: a
    // reply of 0 or 120, 0 for anything passed on, and a session change carries the id in the
    // record, or 0 without one.
    const ControlDecision decision = translate_control(control, event_type, session_id);
    const std::uint32_t reply = decision.reply;
    const std::optional<ControlMessage>& message = decision.message;
    const bool give_up = decision.give_up_sender;
    FUZZ_CHECK(reply == 0 || reply == 120);
    FUZZ_CHECK(!message || reply == 0);
    if (const auto* change = message ? message->as_session_change() : nullptr) {
      FUZZ_CHECK(change->session_id == session_id);
    }

    const std::uint32_t answered = handle_control(control, event_type, record.get(), &context);
    FUZZ_CHECK(answered == reply);
    if (!given_up && message) expected.push_back(*message);
    given_up = given_up || give_up;
    FUZZ_CHECK(context.sender.has_value() == !given_up);
  }

  // Everything sent arrives, in order; then the channel is empty, or disconnected when the
  // sending end was given up.
  for (const ControlMessage& m : expected) {
    auto received = receiver.receive_until(ControlReceiver::Clock::time_point{});
    FUZZ_CHECK(received.ok());
    FUZZ_CHECK(received.value() == m);
  }
  auto last = receiver.receive_until(ControlReceiver::Clock::time_point{});
  FUZZ_CHECK(!last.ok());
  FUZZ_CHECK(last.error() == (given_up ? ReceiveError::Disconnected : ReceiveError::TimedOut));
  return 0;
}
