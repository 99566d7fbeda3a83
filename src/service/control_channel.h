// The ControlChannel: an unbounded first-in first-out queue of ControlMessage between the control
// handler (the one sending end) and the run loop (the one receiving end).
//
//   auto [sender, receiver] = make_control_channel();
//   // control handler:                       // run loop:
//   (void)sender.send(ControlMessage::stop());  auto r = receiver.receive_for(POLL);
//                                              if (r) handle(r.value());
//                                              else if (r.error() == ReceiveError::Disconnected) ...
//
// Send never waits. Receive waits until a message arrives, its deadline passes or the sending end
// is gone; every message sent before the sending end went is delivered first, in order.
//
// Deadlines are std::chrono::steady_clock time points: the channel depends on no clock of the
// program's, and steady_clock is the one clock the standard's waits can use without drift.
//
// This is the only place in the program that takes a lock or waits.
#pragma once

#include <chrono>
#include <memory>

#include "platform/result.h"
#include "service/control_message.h"

namespace quolin {

namespace detail {
struct ControlQueue;
}

struct ControlChannel;

enum class ReceiveError {
  TimedOut,      // the deadline passed with the queue empty
  Disconnected,  // the queue is empty and the sending end is gone: nothing will ever come
};

class ControlSender {
 public:
  ControlSender(ControlSender&& other) noexcept = default;
  ControlSender& operator=(ControlSender&& other) noexcept;
  ControlSender(const ControlSender&) = delete;
  ControlSender& operator=(const ControlSender&) = delete;
  // Dropping the sending end disconnects the channel once its queue is drained.
  ~ControlSender();

  // Appends the message at the tail and wakes a waiting receiver; never waits for room. When the
  // receiving end is gone (or this end was moved from) the message comes back as the error.
  Status<ControlMessage> send(ControlMessage message);

 private:
  friend ControlChannel make_control_channel();
  explicit ControlSender(std::shared_ptr<detail::ControlQueue> queue);
  void disconnect() noexcept;

  std::shared_ptr<detail::ControlQueue> queue_;
};

class ControlReceiver {
 public:
  using Clock = std::chrono::steady_clock;

  ControlReceiver(ControlReceiver&& other) noexcept = default;
  ControlReceiver& operator=(ControlReceiver&& other) noexcept;
  ControlReceiver(const ControlReceiver&) = delete;
  ControlReceiver& operator=(const ControlReceiver&) = delete;
  // Dropping the receiving end discards what is still queued; later sends hand their message back.
  ~ControlReceiver();

  // The oldest queued message. With an empty queue: waits for a message until `deadline`, then
  // TimedOut; a deadline already past times out at once. Disconnected only when the queue is
  // empty and the sending end is gone, and then before any time-out, whatever the deadline.
  // A moved-from receiver reports Disconnected.
  Result<ControlMessage, ReceiveError> receive_until(Clock::time_point deadline);

  // receive_until(now + timeout); a timeout too long for the clock waits without end.
  Result<ControlMessage, ReceiveError> receive_for(Clock::duration timeout);

 private:
  friend ControlChannel make_control_channel();
  explicit ControlReceiver(std::shared_ptr<detail::ControlQueue> queue);
  void disconnect() noexcept;

  std::shared_ptr<detail::ControlQueue> queue_;
};

// Both ends of one channel, made together. Each end is move-only.
struct ControlChannel {
  ControlSender sender;
  ControlReceiver receiver;
};

ControlChannel make_control_channel();

}  // namespace quolin
