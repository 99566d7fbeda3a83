// Two threads on one ControlChannel, as the control handler and the run loop use it, at a rate
// far beyond anything the system delivers. Run under ThreadSanitizer too.
#include "service/control_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "service/printers.h"

namespace quolin {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t MESSAGES = 1'000'000;

const char* reason_for(std::uint32_t i) { return i % 2 == 0 ? "SessionLock" : "SessionUnlock"; }

TEST(ControlChannelStress, DeliversEveryMessageOnceInOrderThenDisconnects) {
  auto [sender, receiver] = make_control_channel();
  std::thread producer([s = std::move(sender)]() mutable {
    for (std::uint32_t i = 0; i < MESSAGES; ++i) {
      if (!s.send(ControlMessage::session_change(reason_for(i), i))) return;
      // Now and then let the queue run dry, so the receiver also waits and times out.
      if (i % 4096 == 0) std::this_thread::yield();
    }
    if (!s.send(ControlMessage::stop())) return;
    // Dropping `s` here disconnects the channel after the last message.
  });

  std::uint32_t next = 0;
  bool stopped = false;
  std::uint64_t timeouts = 0;
  // The receiving side; an assertion leaves it early, and the producer still runs to its end
  // since sends never wait.
  auto consume = [&] {
    for (;;) {
      auto r = receiver.receive_for(50us);
      if (!r) {
        if (r.error() == ReceiveError::TimedOut) {
          ++timeouts;
          continue;
        }
        return;  // disconnected
      }
      const ControlMessage& m = r.value();
      if (m.is_stop()) {
        ASSERT_FALSE(stopped) << "a second Stop";
        ASSERT_EQ(next, MESSAGES) << "Stop overtook session changes";
        stopped = true;
        continue;
      }
      ASSERT_FALSE(stopped) << "a message after Stop";
      const auto* change = m.as_session_change();
      ASSERT_NE(change, nullptr);
      ASSERT_EQ(change->session_id, next) << "lost, duplicated or reordered";
      ASSERT_EQ(change->reason, reason_for(next));
      ++next;
    }
  };
  consume();
  producer.join();
  EXPECT_EQ(next, MESSAGES);
  EXPECT_TRUE(stopped);
  // Disconnection is final.
  auto again = receiver.receive_for(1h);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), ReceiveError::Disconnected);
  RecordProperty("timeouts", std::to_string(timeouts));
}

}  // namespace
}  // namespace quolin
