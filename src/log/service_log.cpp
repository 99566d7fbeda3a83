#include "log/service_log.h"

#include <algorithm>
#include <optional>
#include <string>

#include "log/log_format.h"
#include "log/log_path.h"

namespace quolin {
namespace {

using platform::Files;

// The folder above is missing (or cannot be reached): make it first, then try again.
bool is_missing_parent(std::uint32_t code) {
  return code == platform::CODE_PATH_NOT_FOUND || code == platform::CODE_FILE_NOT_FOUND ||
         code == platform::CODE_INVALID_DRIVE || code == platform::CODE_BAD_NETPATH ||
         code == platform::CODE_BAD_NET_NAME;
}

bool is_passing_lock(std::uint32_t code) {
  return code == platform::CODE_SHARING_VIOLATION || code == platform::CODE_LOCK_VIOLATION;
}

platform::SysResult<platform::UniqueHandle> open_log(Files& files, const std::u16string& path) {
  auto open = [&] {
    return files.CreateFileW(path, platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                             platform::DISPOSITION_OPEN_ALWAYS);
  };
  platform::SysResult<platform::UniqueHandle> file = open();
  for (std::uint32_t delay : LOG_OPEN_RETRY_DELAYS_MS) {
    if (file || !is_passing_lock(file.error().code())) break;
    files.Sleep(delay);
    file = open();
  }
  return file;
}

// Writes the whole piece: what one write leaves over goes to the next one.
Status<LogError> write_piece(Files& files, platform::Handle file, std::string_view piece) {
  while (!piece.empty()) {
    platform::SysResult<std::size_t> written = files.NtWriteFile(file, piece);
    if (!written) {
      if (written.error().code() == platform::CODE_INTERRUPTED) continue;
      return fail(LogError::os(written.error().code()));
    }
    if (written.value() == 0) return fail(LogError::write_zero());
    piece.remove_prefix(std::min(written.value(), piece.size()));
  }
  return {};
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

  if (Status<LogError> made = create_folder_tree(files_, parent_folder(file_path)); !made) return made;

  // Closed on every path from here on, after a failed write as after success.
  platform::SysResult<platform::UniqueHandle> file = open_log(files_, file_path);
  if (!file) return fail(LogError::os(file.error().code()));

  // Read after the open, so the time is that of the write and not of the folder work.
  const std::string timestamp = format_timestamp(files_.GetSystemTimePreciseAsFileTime());

  // Four pieces straight to the file, no buffer in between.
  for (std::string_view piece : {std::string_view(timestamp), LOG_TAG, message, LOG_LINE_END}) {
    if (Status<LogError> written = write_piece(files_, file.value().get(), piece); !written) return written;
  }
  return {};
}

}  // namespace quolin
