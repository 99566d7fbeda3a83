#include "service/control_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "service/printers.h"

namespace quolin {
namespace {

using Clock = ControlReceiver::Clock;
using namespace std::chrono_literals;

// A deadline that has already passed: receives answer from what is there, without waiting.
Clock::time_point past() { return Clock::now() - 1h; }

ControlMessage change(const char* reason, std::uint32_t id) {
  return ControlMessage::session_change(reason, id);
}

TEST(ControlChannel, DeliversMessagesOldestFirst) {
  auto [sender, receiver] = make_control_channel();
  ASSERT_TRUE(sender.send(change("SessionLogon", 1)));
  ASSERT_TRUE(sender.send(ControlMessage::stop()));
  ASSERT_TRUE(sender.send(change("SessionLogoff", 2)));

  // Queued messages come out even when the deadline has passed.
  auto first = receiver.receive_until(past());
  auto second = receiver.receive_until(past());
  auto third = receiver.receive_until(past());
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(first.value(), change("SessionLogon", 1));
  EXPECT_EQ(second.value(), ControlMessage::stop());
  EXPECT_EQ(third.value(), change("SessionLogoff", 2));
  auto fourth = receiver.receive_until(past());
  ASSERT_FALSE(fourth);
  EXPECT_EQ(fourth.error(), ReceiveError::TimedOut);
}

TEST(ControlChannel, TimesOutNoEarlierThanTheDeadline) {
  auto [sender, receiver] = make_control_channel();
  Clock::time_point deadline = Clock::now() + 30ms;
  auto r = receiver.receive_until(deadline);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::TimedOut);
  EXPECT_GE(Clock::now(), deadline);

  Clock::time_point before = Clock::now();
  auto s = receiver.receive_for(20ms);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), ReceiveError::TimedOut);
  EXPECT_GE(Clock::now() - before, 20ms);
}

TEST(ControlChannel, PastDeadlineWithEmptyQueueTimesOutAtOnce) {
  auto [sender, receiver] = make_control_channel();
  for (Clock::time_point deadline : {past(), Clock::time_point::min(), Clock::time_point{}}) {
    auto r = receiver.receive_until(deadline);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ReceiveError::TimedOut);
  }
  for (Clock::duration timeout : {Clock::duration::zero(), Clock::duration(-1), Clock::duration(-1h)}) {
    auto r = receiver.receive_for(timeout);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ReceiveError::TimedOut);
  }
}

TEST(ControlChannel, ReportsDisconnectedOnlyAfterTheQueueDrains) {
  auto [sender, receiver] = make_control_channel();
  ASSERT_TRUE(sender.send(change("SessionLock", 4)));
  ASSERT_TRUE(sender.send(ControlMessage::stop()));
  { ControlSender gone = std::move(sender); }

  auto first = receiver.receive_until(past());
  ASSERT_TRUE(first);
  EXPECT_EQ(first.value(), change("SessionLock", 4));
  auto second = receiver.receive_until(past());
  ASSERT_TRUE(second);
  EXPECT_EQ(second.value(), ControlMessage::stop());
  for (int i = 0; i < 2; ++i) {
    auto r = receiver.receive_for(1h);  // answers at once: nothing can come any more
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ReceiveError::Disconnected);
  }
}

TEST(ControlChannel, DisconnectionOutranksAPastDeadline) {
  auto [sender, receiver] = make_control_channel();
  { ControlSender gone = std::move(sender); }
  auto r = receiver.receive_until(past());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
}

TEST(ControlChannel, SendAfterTheReceiverIsDroppedHandsTheMessageBack) {
  auto [sender, receiver] = make_control_channel();
  ASSERT_TRUE(sender.send(ControlMessage::stop()));
  { ControlReceiver gone = std::move(receiver); }

  auto r = sender.send(change("SessionUnlock", 9));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), change("SessionUnlock", 9));
  auto s = sender.send(ControlMessage::stop());
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), ControlMessage::stop());
}

TEST(ControlChannel, ReplacingAnEndDropsTheOneItHeld) {
  auto a = make_control_channel();
  auto b = make_control_channel();

  a.sender = std::move(b.sender);  // a's own sending end is gone now
  auto r = a.receiver.receive_until(past());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
  ASSERT_TRUE(a.sender.send(ControlMessage::stop()));  // lands in b's queue
  auto moved = b.receiver.receive_until(past());
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved.value(), ControlMessage::stop());

  auto c = make_control_channel();
  c.receiver = std::move(b.receiver);  // c's own receiving end is gone now
  auto back = c.sender.send(change("SessionCreate", 10));
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error(), change("SessionCreate", 10));
}

TEST(ControlChannel, MovedFromEndsActAsDisconnected) {
  auto [sender, receiver] = make_control_channel();
  ControlSender sender2 = std::move(sender);
  ControlReceiver receiver2 = std::move(receiver);

  auto back = sender.send(ControlMessage::stop());  // NOLINT: moved-from use is the point
  ASSERT_FALSE(back);
  EXPECT_EQ(back.error(), ControlMessage::stop());
  auto r = receiver.receive_until(past());  // NOLINT
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);

  // The moved-to ends still form a working channel.
  ASSERT_TRUE(sender2.send(change("RemoteConnect", 3)));
  auto got = receiver2.receive_until(past());
  ASSERT_TRUE(got);
  EXPECT_EQ(got.value(), change("RemoteConnect", 3));
}

TEST(ControlChannel, WakesAReceiverWaitingForAMessage) {
  auto [sender, receiver] = make_control_channel();
  std::thread t([&sender = sender] {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(sender.send(change("ConsoleConnect", 1)));
  });
  auto r = receiver.receive_for(10min);
  t.join();
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value(), change("ConsoleConnect", 1));
}

TEST(ControlChannel, WakesAReceiverWaitingWhenTheSenderGoes) {
  auto [sender, receiver] = make_control_channel();
  std::thread t([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    ControlSender gone = std::move(s);
  });
  auto r = receiver.receive_for(10min);
  t.join();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
}

}  // namespace
}  // namespace quolin
