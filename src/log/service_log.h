// The service log: one timestamped, tagged line appended to
// %ProgramData%\Quolin\service.log per call.
//
//   ServiceLog log(platform::win32_files(), events);
//   if (Status<LogError> s = log.write_line("service starting"); !s) ... s.error().text() ...
//
// Every call looks up ProgramData, makes the log folder if needed (with rights for SYSTEM and
// Administrators alone), opens it as itself and judges it, opens the file as itself and judges
// it, reads the clock, appends the line unbuffered and closes both again. So a folder or file
// removed between two lines is made again by the next one, and one that is not safe (a link, a
// second name, rights for ordinary users) is moved aside before the line is written: nothing is
// ever written through it (log_safety.h). Each move is reported to the event sink (1100) as soon
// as it is done, and its line opens the fresh log.
//
// Where an unsafe folder or file cannot be moved aside (someone holds it, or puts it back faster
// than it moves), the line goes to the event sink instead (1101) and the call succeeds: what an
// ordinary user arranges at the log path never stops the service. The one thing kept between
// lines is what the log has not taken yet: how many lines went there, and the moved-aside lines,
// said in the log once it takes lines again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// What is moved aside is renamed "<name>.untrusted-<UTC stamp>" in its own folder; when that is
// taken, "-2", "-3" and so on are appended, up to this many names for one move.
inline constexpr int LOG_ASIDE_NAMES = 100;

// The moved-aside lines wait for a log that takes them; past this many the oldest are dropped
// (each is in its event 1100 too), so that someone who keeps the log from being made safe
// cannot make the service grow.
inline constexpr std::size_t LOG_NOTICES_KEPT = 32;

class ServiceLog final : public LineWriter {
 public:
  ServiceLog(platform::Files& files, EventSink& events) : files_(files), events_(events) {}

  // Success once the whole line has been handed to the system, or to the event sink when the
  // log could not be made safe. On failure, the pieces already written stay in the file (a line
  // cut short, without LF).
  Status<LogError> write_line(std::string_view message) override;

 private:
  platform::Files& files_;
  EventSink& events_;
  std::uint64_t lines_to_events_ = 0;  // since the log last took a line
  std::vector<std::string> notices_;   // moved-aside lines the log has not taken yet
};

// Makes `folder` and every missing folder above it, topmost first; `folder` itself with the
// descriptor `sddl` when one is given, the folders above as they come. An existing folder is
// success; something else at the path fails with the already-exists error; a bare root is never
// made and an empty path needs nothing. Folders made before a failure stay.
Status<LogError> create_folder_tree(platform::Files& files, std::u16string_view folder,
                                    std::u16string_view sddl = {});

}  // namespace quolin
