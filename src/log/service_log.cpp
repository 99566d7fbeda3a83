#include "log/service_log.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log/log_format.h"
#include "log/log_path.h"
#include "log/log_safety.h"
#include "platform/text.h"

namespace quolin {
namespace {

using platform::Files;

// The folder above is missing (or cannot be reached): make it first, then try again. For a path
// that is asked about, the same codes say that it is missing itself.
bool is_missing_parent(std::uint32_t code) {
  return code == platform::CODE_PATH_NOT_FOUND || code == platform::CODE_FILE_NOT_FOUND ||
         code == platform::CODE_INVALID_DRIVE || code == platform::CODE_BAD_NETPATH ||
         code == platform::CODE_BAD_NET_NAME;
}

bool is_passing_lock(std::uint32_t code) {
  return code == platform::CODE_SHARING_VIOLATION || code == platform::CODE_LOCK_VIOLATION;
}

// The waits one line may spend on passing locks, on the open and the writes together.
class LockWaits {
 public:
  explicit LockWaits(Files& files) : files_(files) {}

  // Waits the next delay and says "try again", while the refusal is a passing lock and the
  // schedule lasts.
  bool wait_out(std::uint32_t code) {
    if (!is_passing_lock(code) || next_ == LOG_OPEN_RETRY_DELAYS_MS.size()) return false;
    files_.Sleep(LOG_OPEN_RETRY_DELAYS_MS[next_++]);
    return true;
  }

 private:
  Files& files_;
  std::size_t next_ = 0;
};

bool is_already_there(std::uint32_t code) {
  return code == platform::CODE_ALREADY_EXISTS || code == platform::CODE_FILE_EXISTS;
}

// Writes the whole piece: what one write leaves over goes to the next one.
Status<LogError> write_piece(Files& files, platform::Handle file, std::string_view piece, LockWaits& waits) {
  while (!piece.empty()) {
    platform::SysResult<std::size_t> written = files.NtWriteFile(file, piece);
    if (!written) {
      // Neither an interrupted write nor one refused by a lock took anything: issue it again.
      if (written.error().code() == platform::CODE_INTERRUPTED || waits.wait_out(written.error().code())) continue;
      return fail(LogError::os(written.error().code()));
    }
    if (written.value() == 0) return fail(LogError::write_zero());
    piece.remove_prefix(std::min(written.value(), piece.size()));
  }
  return {};
}

Status<LogError> write_whole_line(Files& files, platform::Handle file, std::string_view message,
                                  LockWaits& waits) {
  // Read after the open, so the time is that of the write and not of the folder work.
  const std::string timestamp = format_timestamp(files.GetSystemTimePreciseAsFileTime());
  // Four pieces straight to the file, no buffer in between.
  for (std::string_view piece : {std::string_view(timestamp), LOG_TAG, message, LOG_LINE_END}) {
    if (Status<LogError> written = write_piece(files, file, piece, waits); !written) return written;
  }
  return {};
}

// The log folder with the rights it is always made with; the folders above it as they come.
Status<LogError> make_log_folder(Files& files, const std::u16string& folder) {
  platform::SysStatus made = files.CreateDirectoryW(folder, log_folder_sddl());
  if (!made && is_missing_parent(made.error().code())) {
    if (Status<LogError> above = create_folder_tree(files, parent_folder(folder)); !above) return above;
    made = files.CreateDirectoryW(folder, log_folder_sddl());
  }
  // Whatever is there already is judged next, before anything is written through it.
  if (made || is_already_there(made.error().code())) return {};
  return fail(LogError::os(made.error().code()));
}

// What was opened, or why it must not be written through (then it may hold nothing).
struct Inspection {
  platform::UniqueHandle opened;
  std::optional<std::string> unsafe;
};

// The log folder, made when missing, opened and judged.
Result<Inspection, LogError> inspect_folder(Files& files, const std::u16string& folder) {
  // Usually it is there: one attribute query then stands for the creation call.
  platform::SysResult<std::uint32_t> path_attributes = files.GetFileAttributesW(folder);
  if (!path_attributes && is_missing_parent(path_attributes.error().code())) {
    if (Status<LogError> made = make_log_folder(files, folder); !made) return fail(made.error());
    path_attributes = files.GetFileAttributesW(folder);
  }
  if (!path_attributes) return fail(LogError::os(path_attributes.error().code()));
  // Opened as itself, never through a link, and not shared for deletion: while the line is
  // written nobody can move the folder away and put something else at its name.
  platform::SysResult<platform::UniqueHandle> opened =
      files.CreateFileW(folder, platform::ACCESS_INSPECT, platform::FILE_SHARE_READ_WRITE,
                        platform::DISPOSITION_OPEN_EXISTING,
                        platform::FLAG_OPEN_REPARSE_POINT | platform::FLAG_BACKUP_SEMANTICS);
  // A folder that shuts the service out cannot be checked, so it cannot be trusted either.
  if (!opened && opened.error().code() == platform::CODE_ACCESS_DENIED) return Inspection{{}, std::string(UNREADABLE_FOLDER)};
  if (!opened) return fail(LogError::os(opened.error().code()));
  Inspection seen{std::move(opened.value()), std::nullopt};

  platform::SysResult<platform::FileIdentity> identity = files.GetFileInformationByHandleEx(seen.opened.get());
  if (!identity) return fail(LogError::os(identity.error().code()));
  platform::SysResult<platform::ObjectSecurity> security = files.GetSecurityInfo(seen.opened.get());
  if (!security) return fail(LogError::os(security.error().code()));
  platform::SysResult<std::string> own = files.process_account_sid();
  if (!own) return fail(LogError::os(own.error().code()));
  // Wine shows a link only in the path's attributes; Windows shows it on the handle as well.
  const std::uint32_t attributes =
      identity.value().attributes | (path_attributes.value() & platform::ATTRIBUTE_REPARSE_POINT);
  seen.unsafe = why_folder_unsafe(attributes, security.value(), own.value());
  return seen;
}

// Something unsafe that was moved aside: the first line of the log that replaces it, and the
// values of its event.
struct Notice {
  std::string line;
  std::string what;  // "log folder" or "log file"
  std::string path;
  std::string reason;
  std::string new_name;
};

// `path` renamed in its own folder to "<name>.untrusted-<UTC stamp>"; the notice on success.
Result<Notice, LogError> move_aside(Files& files, std::string_view what, const std::u16string& path,
                                         std::string_view reason) {
  const std::u16string_view above = parent_folder(path);
  std::u16string new_name(path.substr(above.size()));
  while (!new_name.empty() && platform::is_path_separator(new_name.front())) new_name.erase(0, 1);
  new_name.append(u".untrusted-");
  new_name.append(platform::utf16_from_wtf8(format_compact_timestamp(files.GetSystemTimePreciseAsFileTime())));
  if (platform::SysStatus moved = files.MoveFileExW(path, join_path(above, new_name)); !moved) {
    return fail(LogError::os(moved.error().code()));
  }
  return Notice{moved_aside_line(what, path, reason, new_name), "log " + std::string(what),
                platform::utf8_from_utf16_lossy(path), std::string(reason), platform::utf8_from_utf16_lossy(new_name)};
}

// Opens and judges `path` (`open_and_judge`) until what it opened is safe. Whatever is not is
// let go, moved aside (never deleted, never written through) and a fresh one made by the next
// opening; a rename that fails, or a name taken again before the fresh one is made, is tried
// again, LOG_MOVE_ASIDE_TRIES times in all. Each move is reported at once, so that the Event Log
// tells of it even when no line can be written after it; its line waits in `notices`.
template <class OpenAndJudge>
Result<platform::UniqueHandle, LogError> open_safe(Files& files, EventSink& events, std::string_view what,
                                                  const std::u16string& path, std::vector<Notice>& notices,
                                                  OpenAndJudge open_and_judge) {
  LogError failed = LogError::os(platform::CODE_ALREADY_EXISTS);  // what the last try left
  for (int tries = 0;; ++tries) {
    Result<Inspection, LogError> seen = open_and_judge();
    if (!seen) return fail(seen.error());
    if (!seen.value().unsafe) return std::move(seen.value().opened);
    if (tries == LOG_MOVE_ASIDE_TRIES) return fail(failed);
    seen.value().opened.reset();  // let go before the rename
    Result<Notice, LogError> moved = move_aside(files, what, path, *seen.value().unsafe);
    if (!moved) {
      failed = moved.error();
      continue;
    }
    failed = LogError::os(platform::CODE_ALREADY_EXISTS);
    const Notice& notice = notices.emplace_back(std::move(moved.value()));
    events.report(events::LOG_MOVED_ASIDE, {notice.what, notice.path, notice.reason, notice.new_name});
  }
}

platform::SysResult<platform::UniqueHandle> open_log(Files& files, const std::u16string& path, LockWaits& waits) {
  for (;;) {
    platform::SysResult<platform::UniqueHandle> file =
        files.CreateFileW(path, platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                          platform::DISPOSITION_OPEN_ALWAYS, platform::FLAG_OPEN_REPARSE_POINT);
    if (file || !waits.wait_out(file.error().code())) return file;
  }
}

// The log file, opened as itself and judged.
Result<Inspection, LogError> inspect_file(Files& files, const std::u16string& path, LockWaits& waits) {
  platform::SysResult<platform::UniqueHandle> file = open_log(files, path, waits);
  if (!file) {
    // A folder, or a link to one, cannot be opened as a file at all: the path says which it is.
    if (file.error().code() != platform::CODE_ACCESS_DENIED) return fail(LogError::os(file.error().code()));
    platform::SysResult<std::uint32_t> attributes = files.GetFileAttributesW(path);
    if (!attributes) return fail(LogError::os(file.error().code()));
    std::optional<std::string> unsafe = why_file_unsafe({attributes.value(), 1});
    if (!unsafe) return fail(LogError::os(file.error().code()));
    return Inspection{{}, std::move(unsafe)};
  }
  platform::SysResult<platform::FileIdentity> identity = files.GetFileInformationByHandleEx(file.value().get());
  if (!identity) return fail(LogError::os(identity.error().code()));
  return Inspection{std::move(file.value()), why_file_unsafe(identity.value())};
}

}  // namespace

Status<LogError> create_folder_tree(Files& files, std::u16string_view folder) {
  if (folder.empty() || is_bare_root(folder)) return {};
  const std::u16string path(folder);
  // The folder usually exists: one creation call and one folder test settle it, without
  // walking the folders above.
  platform::SysStatus made = files.CreateDirectoryW(path);
  if (made) return {};
  if (is_missing_parent(made.error().code())) {
    if (Status<LogError> above = create_folder_tree(files, parent_folder(folder)); !above) return above;
    made = files.CreateDirectoryW(path);
    if (made) return {};
  }
  // Something is there already (perhaps made by another process a moment ago): fine if it is a
  // folder, otherwise the creation's own error stands.
  if (files.is_folder(path)) return {};
  return fail(LogError::os(made.error().code()));
}

Status<LogError> ServiceLog::write_line(std::string_view message) {
  const std::u16string file_path =
      log_file_path(files_.GetEnvironmentVariableW(std::u16string(PROGRAM_DATA_VARIABLE)));
  const std::u16string folder(parent_folder(file_path));

  // What was moved aside on the way: said first in the log that replaces it.
  std::vector<Notice> notices;
  // Both held to the end of the line: the folder so that it stays the one judged, the file so
  // that it is closed after a failed write as after success.
  Result<platform::UniqueHandle, LogError> held_folder =
      open_safe(files_, events_, "folder", folder, notices, [&] { return inspect_folder(files_, folder); });
  if (!held_folder) return fail(held_folder.error());
  LockWaits waits(files_);
  Result<platform::UniqueHandle, LogError> file =
      open_safe(files_, events_, "file", file_path, notices, [&] { return inspect_file(files_, file_path, waits); });
  if (!file) return fail(file.error());

  for (const Notice& notice : notices) {
    if (Status<LogError> written = write_whole_line(files_, file.value().get(), notice.line, waits); !written) {
      return written;
    }
  }
  return write_whole_line(files_, file.value().get(), message, waits);
}

}  // namespace quolin
