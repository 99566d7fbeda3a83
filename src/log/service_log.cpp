#include "log/service_log.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>
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

// Refused by what is at the path: it shuts the service out, someone holds it sharing nothing, or
// its deletion waits for a holder to let go.
bool refused_by_it(std::uint32_t code) {
  return code == platform::CODE_ACCESS_DENIED || code == platform::CODE_SHARING_VIOLATION ||
         code == platform::CODE_DELETE_PENDING;
}

// Cannot be asked about or opened to be judged: refused, or gone since the path was asked. None
// of these is a folder that may be trusted.
bool cannot_be_judged(std::uint32_t code) { return refused_by_it(code) || is_missing_parent(code); }

// What was opened, or why it must not be written through (then it may hold nothing).
struct Inspection {
  platform::UniqueHandle opened;
  std::optional<std::string> unsafe;
};

// The log folder, made when missing, opened as itself (with `extra_access` too) and judged.
Result<Inspection, LogError> inspect_folder(Files& files, const std::u16string& folder, std::uint32_t extra_access) {
  // Usually it is there: one attribute query then stands for the creation call.
  platform::SysResult<std::uint32_t> path_attributes = files.GetFileAttributesW(folder);
  if (!path_attributes && is_missing_parent(path_attributes.error().code())) {
    // Whatever is there already (made a moment ago by someone else) is judged next.
    Status<LogError> made = create_folder_tree(files, folder, log_folder_sddl());
    if (!made && extra_access == 0 && refused_by_it(made.error().code)) {
      return Inspection{{}, std::string(UNREADABLE_FOLDER)};
    }
    if (!made && !is_already_there(made.error().code)) return fail(made.error());
    path_attributes = files.GetFileAttributesW(folder);
  }
  // Something that refuses to be asked about, or that was there a moment ago and is gone now
  // (a dangling link under Wine), cannot be trusted either; to be moved, its refusal is the
  // move's failure.
  if (!path_attributes && extra_access == 0 && cannot_be_judged(path_attributes.error().code())) {
    return Inspection{{}, std::string(UNREADABLE_FOLDER)};
  }
  if (!path_attributes) return fail(LogError::os(path_attributes.error().code()));
  // Opened as itself, never through a link, and not shared for deletion: while the line is
  // written nobody can move the folder away and put something else at its name.
  const auto open = [&](std::uint32_t access) {
    return files.CreateFileW(folder, access | extra_access, platform::FILE_SHARE_READ_WRITE,
                             platform::DISPOSITION_OPEN_EXISTING,
                             platform::FLAG_OPEN_REPARSE_POINT | platform::FLAG_BACKUP_SEMANTICS);
  };
  platform::SysResult<platform::UniqueHandle> opened = open(platform::ACCESS_INSPECT);
  bool readable = true;
  if (!opened && extra_access != 0 && opened.error().code() == platform::CODE_ACCESS_DENIED) {
    // Shut out of its rights, the service may still rename it (the folder above grants that);
    // its attributes still tell a link from a folder.
    opened = open(platform::ACCESS_READ_ATTRIBUTES);
    readable = false;
  }
  // A folder that cannot be checked cannot be trusted either; opened to be moved, the refusal is
  // the move's failure.
  if (!opened && extra_access == 0 && cannot_be_judged(opened.error().code())) {
    return Inspection{{}, std::string(UNREADABLE_FOLDER)};
  }
  if (!opened) return fail(LogError::os(opened.error().code()));
  Inspection seen{std::move(opened.value()), std::nullopt};

  platform::SysResult<platform::FileIdentity> identity = files.GetFileInformationByHandleEx(seen.opened.get());
  if (!identity) return fail(LogError::os(identity.error().code()));
  std::optional<platform::ObjectSecurity> security;
  if (readable) {
    platform::SysResult<platform::ObjectSecurity> read = files.GetSecurityInfo(seen.opened.get());
    if (!read) return fail(LogError::os(read.error().code()));
    security = std::move(read.value());
  }
  platform::SysResult<std::string> own = files.process_account_sid();
  if (!own) return fail(LogError::os(own.error().code()));
  // Wine shows a link only in the path's attributes; Windows shows it on the handle as well.
  const std::uint32_t attributes =
      identity.value().attributes | (path_attributes.value() & platform::ATTRIBUTE_REPARSE_POINT);
  seen.unsafe = why_folder_unsafe(attributes, security ? &*security : nullptr, own.value());
  return seen;
}

platform::SysResult<platform::UniqueHandle> open_log(Files& files, const std::u16string& path, LockWaits& waits,
                                                     std::uint32_t extra_access) {
  // To be moved aside it may also be a folder, which opens only with backup semantics.
  const std::uint32_t flags =
      platform::FLAG_OPEN_REPARSE_POINT | (extra_access != 0 ? platform::FLAG_BACKUP_SEMANTICS : 0);
  for (;;) {
    platform::SysResult<platform::UniqueHandle> file =
        files.CreateFileW(path, platform::FILE_APPEND_ONLY_ACCESS | extra_access, platform::FILE_SHARE_ALL,
                          platform::DISPOSITION_OPEN_ALWAYS, flags);
    if (file || !waits.wait_out(file.error().code())) return file;
  }
}

// The log file, opened as itself (with `extra_access` too) and judged.
Result<Inspection, LogError> inspect_file(Files& files, const std::u16string& path, LockWaits& waits,
                                          std::uint32_t extra_access) {
  platform::SysResult<platform::UniqueHandle> file = open_log(files, path, waits, extra_access);
  if (!file) {
    // A folder, or a link to one, cannot be opened as a file at all: the path says which it is.
    // (Opened to be moved, with backup semantics, it can.)
    if (extra_access != 0 || file.error().code() != platform::CODE_ACCESS_DENIED) {
      return fail(LogError::os(file.error().code()));
    }
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

// Something unsafe that was moved aside: the first line of the log that replaces it, and the
// values of its event.
struct Notice {
  std::string line;
  std::string what;  // "log folder" or "log file"
  std::string path;
  std::string reason;
  std::string new_name;
};

// Something unsafe that could not be moved aside, and why not.
struct Blocked {
  std::string what;
  std::string path;
  std::string reason;
  LogError error;
};

// The judged `opened` renamed in its own folder to "<name>.untrusted-<UTC stamp>", or the first
// of that name with "-2", "-3", ... that is free; the notice on success.
Result<Notice, LogError> move_aside(Files& files, platform::Handle opened, std::string_view what,
                                    const std::u16string& path, std::string_view reason) {
  const std::u16string_view above = parent_folder(path);
  std::u16string stem(path.substr(above.size()));
  while (!stem.empty() && platform::is_path_separator(stem.front())) stem.erase(0, 1);
  stem.append(u".untrusted-");
  stem.append(platform::utf16_from_wtf8(format_compact_timestamp(files.GetSystemTimePreciseAsFileTime())));
  for (int n = 1; n <= LOG_ASIDE_NAMES; ++n) {
    std::u16string new_name = stem;
    if (n > 1) new_name.append(u"-").append(platform::utf16_from_wtf8(std::to_string(n)));
    platform::SysStatus renamed = files.SetFileInformationByHandle(opened, join_path(above, new_name));
    if (renamed) {
      return Notice{moved_aside_line(what, path, reason, new_name), "log " + std::string(what),
                    platform::utf8_from_utf16_lossy(path), std::string(reason),
                    platform::utf8_from_utf16_lossy(new_name)};
    }
    if (!is_already_there(renamed.error().code())) return fail(LogError::os(renamed.error().code()));
  }
  return fail(LogError::os(platform::CODE_ALREADY_EXISTS));
}

// The handle to write through, or what could not be moved aside.
using Guarded = std::variant<platform::UniqueHandle, Blocked>;

// Opens and judges `path` (`judge`, given the access to ask beyond its own) until what it opened
// is safe. Whatever is not is let go, opened again as itself with DELETE and judged again, so
// that what is renamed is what was judged; if it is safe by then, it is used. Otherwise it is
// renamed aside through that handle (never deleted, never written through), and the next round
// makes a fresh one. A move that fails (a holder, a rename refused) or a name taken again before
// the fresh one is made is tried again, LOG_MOVE_ASIDE_TRIES times in all; then it is Blocked.
// Each move is reported at once, so that the Event Log tells of it even when no line can follow
// it; its line waits in `notices`, of which the oldest go past LOG_NOTICES_KEPT.
template <class Judge>
Result<Guarded, LogError> open_safe(Files& files, EventSink& events, std::string_view what,
                                    const std::u16string& path, std::vector<std::string>& notices, Judge judge) {
  LogError failed = LogError::os(platform::CODE_ALREADY_EXISTS);  // what the last try left
  for (int tries = 0;; ++tries) {
    Result<Inspection, LogError> seen = judge(0u);
    if (!seen) return fail(seen.error());
    if (!seen.value().unsafe) return Guarded(std::move(seen.value().opened));
    std::string reason = std::move(*seen.value().unsafe);
    if (tries == LOG_MOVE_ASIDE_TRIES) {
      return Guarded(
          Blocked{"log " + std::string(what), platform::utf8_from_utf16_lossy(path), std::move(reason), failed});
    }
    seen.value().opened.reset();  // ours shares no deletion: let go before asking for it
    Result<Inspection, LogError> held = judge(platform::ACCESS_DELETE);
    if (!held) {
      failed = held.error();
      continue;
    }
    if (!held.value().unsafe) return Guarded(std::move(held.value().opened));
    Result<Notice, LogError> moved = move_aside(files, held.value().opened.get(), what, path, *held.value().unsafe);
    if (!moved) {
      failed = moved.error();
      continue;
    }
    failed = LogError::os(platform::CODE_ALREADY_EXISTS);
    const Notice& notice = moved.value();
    events.report(events::LOG_MOVED_ASIDE, {notice.what, notice.path, notice.reason, notice.new_name});
    if (notices.size() == LOG_NOTICES_KEPT) notices.erase(notices.begin());
    notices.push_back(notice.line);
  }
}

}  // namespace

Status<LogError> create_folder_tree(Files& files, std::u16string_view folder, std::u16string_view sddl) {
  if (folder.empty() || is_bare_root(folder)) return {};
  const std::u16string path(folder);
  const auto make = [&] { return sddl.empty() ? files.CreateDirectoryW(path) : files.CreateDirectoryW(path, sddl); };
  // The folder usually exists: one creation call and one attribute query settle it, without
  // walking the folders above.
  platform::SysStatus made = make();
  if (made) return {};
  if (is_missing_parent(made.error().code())) {
    if (Status<LogError> above = create_folder_tree(files, parent_folder(folder)); !above) return above;
    made = make();
    if (made) return {};
  }
  // Something is there already (perhaps made by another process a moment ago): fine if it is a
  // folder, otherwise the creation's own error stands.
  platform::SysResult<std::uint32_t> there = files.GetFileAttributesW(path);
  if (there && (there.value() & platform::ATTRIBUTE_DIRECTORY) != 0) return {};
  return fail(LogError::os(made.error().code()));
}

Status<LogError> ServiceLog::write_line(std::string_view message) {
  const std::u16string file_path =
      log_file_path(files_.GetEnvironmentVariableW(std::u16string(PROGRAM_DATA_VARIABLE)));
  const std::u16string folder(parent_folder(file_path));

  // A line the log cannot take safely goes to the Event Log instead; it is lost only when that
  // refuses it too, and then the service fails with what kept the log from being made safe.
  const auto to_event_log = [&](const Blocked& blocked) -> Status<LogError> {
    const std::string error = blocked.error.text();
    if (!events_.report(events::LINE_NOT_LOGGED, {blocked.what, blocked.path, blocked.reason, error, message})) {
      return fail(blocked.error);
    }
    ++lines_to_events_;
    return {};
  };
  // Both held to the end of the line: the folder so that it stays the one judged, the file so
  // that it is closed after a failed write as after success.
  Result<Guarded, LogError> held_folder =
      open_safe(files_, events_, "folder", folder, notices_,
                [&](std::uint32_t access) { return inspect_folder(files_, folder, access); });
  if (!held_folder) return fail(held_folder.error());
  if (auto* blocked = std::get_if<Blocked>(&held_folder.value())) return to_event_log(*blocked);
  LockWaits waits(files_);
  Result<Guarded, LogError> file = open_safe(files_, events_, "file", file_path, notices_, [&](std::uint32_t access) {
    return inspect_file(files_, file_path, waits, access);
  });
  if (!file) return fail(file.error());
  if (auto* blocked = std::get_if<Blocked>(&file.value())) return to_event_log(*blocked);
  const platform::Handle log = std::get<platform::UniqueHandle>(file.value()).get();

  // What was moved aside, on the way here or since the log last took a line, is said first.
  for (const std::string& notice : notices_) {
    if (Status<LogError> written = write_whole_line(files_, log, notice, waits); !written) return written;
  }
  notices_.clear();
  if (lines_to_events_ != 0) {
    if (Status<LogError> written = write_whole_line(files_, log, lines_to_events_line(lines_to_events_), waits);
        !written) {
      return written;
    }
    lines_to_events_ = 0;
  }
  return write_whole_line(files_, log, message, waits);
}

}  // namespace quolin
