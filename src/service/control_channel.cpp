#include "service/control_channel.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace quolin {
namespace detail {

// The state both ends share. Each end holds it until it is dropped, so a wake-up issued after
// the lock is released still finds the condition variable alive.
struct ControlQueue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<ControlMessage> messages;
  bool sender_alive = true;
  bool receiver_alive = true;
  bool receiver_waiting = false;
};

}  // namespace detail

ControlChannel make_control_channel() {
  auto queue = std::make_shared<detail::ControlQueue>();
  return ControlChannel{ControlSender(queue), ControlReceiver(queue)};
}

// ---- sending end ----

ControlSender::ControlSender(std::shared_ptr<detail::ControlQueue> queue) : queue_(std::move(queue)) {}

ControlSender& ControlSender::operator=(ControlSender&& other) noexcept {
  if (this != &other) {
    disconnect();
    queue_ = std::move(other.queue_);
  }
  return *this;
}

ControlSender::~ControlSender() { disconnect(); }

void ControlSender::disconnect() noexcept {
  if (!queue_) return;
  bool wake = false;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->sender_alive = false;
    wake = queue_->receiver_waiting;
  }
  if (wake) queue_->arrived.notify_one();
  queue_.reset();
}

Status<ControlMessage> ControlSender::send(ControlMessage message) {
  if (!queue_) return fail(std::move(message));
  bool wake = false;
  {
    std::lock_guard lock(queue_->mutex);
    if (!queue_->receiver_alive) return fail(std::move(message));
    queue_->messages.push_back(std::move(message));
    wake = queue_->receiver_waiting;
  }
  // Woken outside the lock, so the receiver does not wake only to block on the mutex.
  if (wake) queue_->arrived.notify_one();
  return {};
}

// ---- receiving end ----

ControlReceiver::ControlReceiver(std::shared_ptr<detail::ControlQueue> queue)
    : queue_(std::move(queue)) {}

ControlReceiver& ControlReceiver::operator=(ControlReceiver&& other) noexcept {
  if (this != &other) {
    disconnect();
    queue_ = std::move(other.queue_);
  }
  return *this;
}

ControlReceiver::~ControlReceiver() { disconnect(); }

void ControlReceiver::disconnect() noexcept {
  if (!queue_) return;
  std::deque<ControlMessage> discarded;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->receiver_alive = false;
    discarded.swap(queue_->messages);
  }
  // `discarded` is destroyed here, outside the lock.
  queue_.reset();
}

Result<ControlMessage, ReceiveError> ControlReceiver::receive_until(Clock::time_point deadline) {
  if (!queue_) return fail(ReceiveError::Disconnected);
  detail::ControlQueue& q = *queue_;
  std::unique_lock lock(q.mutex);
  for (;;) {
    if (!q.messages.empty()) {
      ControlMessage message = std::move(q.messages.front());
      q.messages.pop_front();
      return message;
    }
    if (!q.sender_alive) return fail(ReceiveError::Disconnected);
    if (Clock::now() >= deadline) return fail(ReceiveError::TimedOut);
    q.receiver_waiting = true;
    q.arrived.wait_until(lock, deadline);
    q.receiver_waiting = false;
  }
}

Result<ControlMessage, ReceiveError> ControlReceiver::receive_for(Clock::duration timeout) {
  Clock::time_point now = Clock::now();
  Clock::time_point deadline = timeout > Clock::time_point::max() - now
                                   ? Clock::time_point::max()
                                   : now + timeout;
  return receive_until(deadline);
}

}  // namespace quolin
