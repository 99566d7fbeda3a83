// The ControlChannel alone and under two threads; the ThreadSanitizer preset runs these.
#include "service/control_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "service/support.h"

namespace quolin {
namespace {

using namespace std::chrono_literals;
const auto logon = ControlMessage::session_change("SessionLogon", 1);
const auto stop = ControlMessage::stop();

// What is sent arrives in order, then TimedOut while the sender lives: the control fuzz target.
TEST(ControlChannel, WaitsOutATimeoutAndReportsDisconnectedAtOnceOnlyOnceDrained) {
  auto [sender, receiver] = make_control_channel();
  auto start = ControlReceiver::Clock::now();
  EXPECT_EQ(receiver.receive_for(20ms).error(), ReceiveError::TimedOut);
  EXPECT_GE(ControlReceiver::Clock::now() - start, 20ms);  // not before the deadline
  ASSERT_TRUE(sender.send(stop));
  ASSERT_TRUE(sender.send(logon));
  { ControlSender gone = std::move(sender); }
  EXPECT_EQ(drain(receiver), std::pair(std::vector{stop, logon}, ReceiveError::Disconnected));
  EXPECT_EQ(receiver.receive_for(1h).error(), ReceiveError::Disconnected);  // at once
}

// Two threads, as the control handler and the run loop use the channel, far faster than the
// system delivers controls.
TEST(ControlChannelStress, DeliversEveryMessageOnceInOrderThenDisconnects) {
  constexpr std::uint32_t MESSAGES = 200'000;
  auto [sender, receiver] = make_control_channel();
  std::thread producer([s = std::move(sender)]() mutable {
    for (std::uint32_t i = 0; i < MESSAGES; ++i) {
      static_cast<void>(s.send(ControlMessage::session_change("SessionLock", i)));
      if (i % 4096 == 0) std::this_thread::yield();  // the queue runs dry, the receiver waits
    }
    static_cast<void>(s.send(stop));
  });
  std::uint32_t next = 0;  // Stop counts as message number MESSAGES
  bool in_order = true;
  for (;;) {
    auto r = receiver.receive_for(50us);
    if (!r && r.error() == ReceiveError::Disconnected) break;
    if (!r) continue;
    const auto* change = r.value().as_session_change();
    in_order = in_order && (change ? change->session_id == next : next == MESSAGES);
    ++next;
  }
  producer.join();
  EXPECT_TRUE(in_order && next == MESSAGES + 1) << "lost, duplicated or reordered";
}

}  // namespace
}  // namespace quolin
