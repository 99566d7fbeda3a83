// Where the service log lives, composed anew for every line.
//
//   log_file_path(u"C:\\ProgramData")  == u"C:\\ProgramData\\Quolin\\service.log"
//   log_file_path(std::nullopt)        == u"C:\\ProgramData\\Quolin\\service.log"
//   log_file_path(u"")                 == u"Quolin\\service.log"   (relative to the current folder)
//
// Paths are UTF-16 because they are only ever handed to Windows. Both '\' and '/' separate.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quolin {

inline constexpr std::u16string_view PROGRAM_DATA_VARIABLE = u"ProgramData";
inline constexpr std::u16string_view DEFAULT_PROGRAM_DATA = u"C:\\ProgramData";
inline constexpr std::u16string_view LOG_FOLDER_NAME = u"Quolin";
inline constexpr std::u16string_view LOG_FILE_NAME = u"service.log";

// left, one backslash, right; no backslash when left is empty or already ends in '\' or '/'.
std::u16string join_path(std::u16string_view left, std::u16string_view right);

// The log file's path for the value of ProgramData. Absent gives DEFAULT_PROGRAM_DATA; so does a
// value that is not valid UTF-16 (a lone surrogate), which cannot be read as text. An empty value
// gives the relative path.
std::u16string log_file_path(const std::optional<std::u16string>& base);

// The path without its last component, and without the separators before it; a root keeps its
// own separator ("C:\\x" gives "C:\\"). Empty for a single relative component and for a root.
// The result views `path`'s own characters.
std::u16string_view parent_folder(std::u16string_view path);

// A path that is nothing but a root: "\\", "C:", "C:\\", "\\\\server\\share\\", "\\\\?\\C:\\" and
// the like. Roots are never made.
bool is_bare_root(std::u16string_view path);

}  // namespace quolin
