// The service log: one timestamped, tagged line appended to
// %ProgramData%\Quolin\service.log per call.
//
//   ServiceLog log(platform::win32_files(), events);
//   if (Status<LogError> s = log.write_line("service starting"); !s) ... s.error().text() ...
//
// Nothing is kept between lines: every call looks up ProgramData, makes the log folder if needed
// (with rights for SYSTEM and Administrators alone), opens it as itself and judges it, opens the
// file as itself and judges it, reads the clock, appends the line unbuffered and closes both
// again. So a folder or file removed between two lines is made again by the next one, and one
// that is not safe (a link, a second name, rights for ordinary users) is moved aside before the
// line is written: nothing is ever written through it (log_safety.h). Each such move is also
// reported to the event sink (1100), once its line is written.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "log/event_sink.h"
#include "log/line_writer.h"
#include "platform/files.h"
#include "platform/result.h"

namespace quolin {

// A backup tool, an indexer or an administrator's viewer may hold the log for a moment without
// sharing write access, or lock a range of it. An open or a write refused for that reason (a
// sharing or lock violation) is tried again after each of these waits in turn, 250 ms in all for
// one line, before it counts as failed.
inline constexpr std::array<std::uint32_t, 5> LOG_OPEN_RETRY_DELAYS_MS = {10, 20, 40, 80, 100};

// A log folder or file that is not safe is moved aside and a fresh one made; a rename that fails
// (a file held open inside) or a name taken again meanwhile is tried again, this many times in all.
inline constexpr int LOG_MOVE_ASIDE_TRIES = 3;

class ServiceLog final : public LineWriter {
 public:
  ServiceLog(platform::Files& files, EventSink& events) : files_(files), events_(events) {}

  // Success once the whole line has been handed to the system. On failure, the pieces already
  // written stay in the file (a line cut short, without LF).
  Status<LogError> write_line(std::string_view message) override;

 private:
  platform::Files& files_;
  EventSink& events_;
};

// Makes `folder` and every missing folder above it, topmost first. An existing folder is
// success; something else at the path fails with the already-exists error; a bare root is never
// made and an empty path needs nothing. Folders made before a failure stay.
Status<LogError> create_folder_tree(platform::Files& files, std::u16string_view folder);

}  // namespace quolin
