// Test helpers for the service control interface: readable gtest output, and reading a channel
// to its end.
#pragma once

#include <chrono>
#include <ostream>
#include <utility>
#include <vector>

#include "service/control_channel.h"
#include "service/service_error.h"

namespace quolin {

inline void PrintTo(const ControlMessage& m, std::ostream* os) {
  const auto* c = m.as_session_change();
  *os << (c ? "SessionChange(" + c->reason + ", " + std::to_string(c->session_id) + ")" : "Stop");
}
inline void PrintTo(ReceiveError e, std::ostream* os) {
  *os << (e == ReceiveError::TimedOut ? "TimedOut" : "Disconnected");
}
inline void PrintTo(const ServiceError& e, std::ostream* os) {
  *os << "ServiceError(" << e.code << ", " << e.argument << ")";
}

// Everything queued now, without waiting, and how the queue then answered: TimedOut while the
// sending end lives, Disconnected once it is gone.
inline std::pair<std::vector<ControlMessage>, ReceiveError> drain(ControlReceiver& receiver) {
  std::vector<ControlMessage> got;
  for (;;) {
    auto r = receiver.receive_until(ControlReceiver::Clock::now() - std::chrono::hours(1));
    if (!r) return {std::move(got), r.error()};
    got.push_back(std::move(r).value());
  }
}

}  // namespace quolin
