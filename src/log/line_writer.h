// The line writer: what the Supervisor and the run loop are given to record their decisions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace quolin {

// Why a log line could not be written.
struct LogError {
  enum class Kind {
    Os,         // a system call failed; `code` is its system error code
    WriteZero,  // a write accepted no bytes: "failed to write whole buffer"
  };
  Kind kind = Kind::Os;
  std::uint32_t code = 0;

  static LogError os(std::uint32_t code) { return {Kind::Os, code}; }
  static LogError write_zero() { return {Kind::WriteZero, 0}; }

  // The error's text, as the service's last line and diagnostics show it.
  std::string text() const;

  friend bool operator==(const LogError&, const LogError&) = default;
};

class LineWriter {
 public:
  // Appends one line; `message` has no timestamp, tag or line end.
  virtual Status<LogError> write_line(std::string_view message) = 0;

 protected:
  ~LineWriter() = default;
};

}  // namespace quolin
