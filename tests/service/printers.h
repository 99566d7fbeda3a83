// Readable gtest output for the service control interface's values.
#pragma once

#include <ostream>

#include "service/control_channel.h"
#include "service/control_message.h"
#include "service/service_error.h"

namespace quolin {

inline void PrintTo(const ControlMessage& message, std::ostream* os) { *os << describe(message); }

inline void PrintTo(ReceiveError error, std::ostream* os) {
  *os << (error == ReceiveError::TimedOut ? "TimedOut" : "Disconnected");
}

inline void PrintTo(const ServiceError& error, std::ostream* os) {
  if (error.kind == ServiceError::Kind::Winapi) {
    *os << "Winapi(" << error.code << ")";
  } else {
    *os << "ArgumentHasNulByte(\"" << error.argument << "\")";
  }
}

}  // namespace quolin
