// A line writer that keeps every line and can be told to fail at a given write.
//
//   RecordingLineWriter log;
//   log.fail_nth_from_now(2, LogError::os(112));  // the second write from now fails
//   ... log.lines() holds what was written, log.failed_lines() what was refused ...
//
// With `keep` false it only counts (written()), for benchmarks and the soak.
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
  // With a journal, every write also lands there as "line: <text>" or "line failed: <text>",
  // beside what the other fakes record, so that the order of calls can be asserted.
  explicit RecordingLineWriter(std::vector<std::string>* journal = nullptr) : journal_(journal) {}

  bool keep = true;

  Status<LogError> write_line(std::string_view message) override {
    ++attempts_;
    const bool fails = fail_at_ && (attempts_ == *fail_at_ || (sticky_ && attempts_ > *fail_at_));
    if (fails) {
      if (!keep) return fail(error_);
      failed_.emplace_back(message);
      if (journal_) journal_->push_back("line failed: " + std::string(message));
      return fail(error_);
    }
    ++written_;
    if (!keep) return {};
    lines_.emplace_back(message);
    if (journal_) journal_->push_back("line: " + std::string(message));
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

  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<std::string>& failed_lines() const { return failed_; }
  std::size_t attempts() const { return attempts_; }
  std::size_t written() const { return written_; }

 private:
  std::vector<std::string>* journal_;
  std::vector<std::string> lines_;
  std::vector<std::string> failed_;
  std::size_t attempts_ = 0;
  std::size_t written_ = 0;
  std::optional<std::size_t> fail_at_;
  LogError error_;
  bool sticky_ = false;
};

}  // namespace quolin::fakes
