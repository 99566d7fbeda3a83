#include "log/log_path.h"

#include <cstddef>

#include "platform/text.h"

namespace quolin {
namespace {

using platform::is_path_separator;

bool is_drive(std::u16string_view p, std::size_t at) {
  if (p.size() < at + 2 || p[at + 1] != u':') return false;
  char16_t c = p[at];
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// Index just past the component that starts at `at`.
std::size_t component_end(std::u16string_view p, std::size_t at) {
  while (at < p.size() && !is_path_separator(p[at])) ++at;
  return at;
}

std::size_t skip_separators(std::u16string_view p, std::size_t at) {
  while (at < p.size() && is_path_separator(p[at])) ++at;
  return at;
}

// Length of the root at the start of the path, separators after it included; 0 when relative.
std::size_t root_length(std::u16string_view p) {
  if (p.size() >= 2 && is_path_separator(p[0]) && is_path_separator(p[1])) {
    std::size_t at = 2;
    if (p.size() >= 4 && (p[2] == u'?' || p[2] == u'.') && is_path_separator(p[3])) {
      // \\?\C:\ , \\.\C:\ , \\?\UNC\server\share\ , \\.\device\ .
      at = 4;
      if (is_drive(p, at)) return skip_separators(p, at + 2);
      std::u16string_view first = p.substr(at, component_end(p, at) - at);
      if (first == u"UNC" || first == u"unc") {
        at = skip_separators(p, component_end(p, at));
      } else {
        return skip_separators(p, component_end(p, at));
      }
    }
    // \\server\share\ : the server and the share belong to the root.
    at = skip_separators(p, component_end(p, at));
    return skip_separators(p, component_end(p, at));
  }
  if (is_drive(p, 0)) return skip_separators(p, 2);
  return skip_separators(p, 0);
}

}  // namespace

std::u16string join_path(std::u16string_view left, std::u16string_view right) {
  std::u16string out(left);
  if (!out.empty() && !is_path_separator(out.back())) out.push_back(u'\\');
  out.append(right);
  return out;
}

std::u16string log_file_path(const std::optional<std::u16string>& base) {
  std::u16string_view folder_above = DEFAULT_PROGRAM_DATA;
  if (base && platform::is_valid_utf16(*base)) folder_above = *base;
  return join_path(join_path(folder_above, LOG_FOLDER_NAME), LOG_FILE_NAME);
}

std::u16string_view parent_folder(std::u16string_view path) {
  std::size_t root = root_length(path);
  if (root == path.size()) return {};
  std::size_t end = path.size();
  while (end > root && is_path_separator(path[end - 1])) --end;
  while (end > root && !is_path_separator(path[end - 1])) --end;
  while (end > root && is_path_separator(path[end - 1])) --end;
  return path.substr(0, end);
}

bool is_bare_root(std::u16string_view path) { return !path.empty() && root_length(path) == path.size(); }

}  // namespace quolin
