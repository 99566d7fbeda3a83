// A line writer that records every line in a journal and can be told to fail at a given write.
//
//   std::vector<std::string> journal;              // shared with the other fakes, to show order
//   RecordingLineWriter log(&journal);
//   log.fail_nth_from_now(2, LogError::os(112));  // the second write from now fails
//   ... journal holds "line: <text>" for each line written, "line failed: <text>" for one refused ...
//
// With `keep` false it only counts (written(), attempts()), for benchmarks and the soak.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/line_writer.h"

namespace quolin::fakes {

class RecordingLineWriter final : public LineWriter {
 public:
  explicit RecordingLineWriter(std::vector<std::string>* journal = nullptr) : journal_(journal) {}

  bool keep = true;

  Status<LogError> write_line(std::string_view message) override {
    ++attempts_;
    const bool fails = fail_at_ && (attempts_ == *fail_at_ || (sticky_ && attempts_ > *fail_at_));
    if (keep && journal_) journal_->push_back((fails ? "line failed: " : "line: ") + std::string(message));
    if (fails) return fail(error_);
    ++written_;
    return {};
  }

  // The nth write from now (1 is the next one) fails with `error`; with `sticky`, so does
  // every write after it, as with a log file that has gone away.
  void fail_nth_from_now(std::size_t n, LogError error, bool sticky = false) {
    fail_at_ = attempts_ + n;
    error_ = error;
    sticky_ = sticky;
  }
  void stop_failing() { fail_at_.reset(); }

  std::size_t attempts() const { return attempts_; }
  std::size_t written() const { return written_; }

 private:
  std::vector<std::string>* journal_;
  std::size_t attempts_ = 0;
  std::size_t written_ = 0;
  std::optional<std::size_t> fail_at_;
  LogError error_;
  bool sticky_ = false;
};

}  // namespace quolin::fakes
