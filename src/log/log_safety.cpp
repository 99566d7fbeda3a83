#include "log/log_safety.h"

#include <algorithm>

#include "platform/text.h"

namespace quolin {

std::u16string log_folder_sddl() {
  std::string sddl = "O:";
  sddl.append(LOG_FOLDER_OWNER_ALIAS).append("D:PAI");
  for (const FolderGrant& grant : LOG_FOLDER_GRANTS) sddl.append("(A;OICI;FA;;;").append(grant.alias).append(")");
  return platform::utf16_from_wtf8(sddl);
}

std::optional<std::string> why_folder_unsafe(std::uint32_t attributes, const platform::ObjectSecurity* readable,
                                             std::string_view own_sid) {
  if ((attributes & platform::ATTRIBUTE_REPARSE_POINT) != 0) return "a link";
  if ((attributes & platform::ATTRIBUTE_DIRECTORY) == 0) return "not a folder";
  if (readable == nullptr) return std::string(UNREADABLE_FOLDER);
  const platform::ObjectSecurity& security = *readable;
  // Those the folder is made for, and the service itself.
  const auto is_trusted = [&](std::string_view sid) {
    return std::any_of(LOG_FOLDER_GRANTS.begin(), LOG_FOLDER_GRANTS.end(),
                       [&](const FolderGrant& grant) { return grant.sid == sid; }) || sid == own_sid;
  };
  if (!is_trusted(security.owner)) return "owner " + security.owner;
  if (!security.has_access_list) return "no access list";
  // Every grant counts, inherit-only ones too: they are what a file made in the folder gets.
  for (const platform::AccessEntry& entry : security.entries) {
    if (entry.allows && (entry.mask & platform::RIGHTS_THAT_CHANGE) != 0 && !is_trusted(entry.sid)) {
      return "writable by " + entry.sid;
    }
  }
  return std::nullopt;
}

std::optional<std::string> why_file_unsafe(const platform::FileIdentity& file) {
  if ((file.attributes & platform::ATTRIBUTE_REPARSE_POINT) != 0) return "a link";
  if ((file.attributes & platform::ATTRIBUTE_DIRECTORY) != 0) return "not a file";
  if (file.number_of_links > 1) return "a second name";
  return std::nullopt;
}

std::string moved_aside_line(std::string_view what, std::u16string_view path, std::string_view reason,
                             std::u16string_view new_name) {
  std::string line = "log ";
  line.append(what).append(" ").append(platform::utf8_from_utf16_lossy(path));
  line.append(" was not safe (").append(reason).append("); moved it aside to ");
  line.append(platform::utf8_from_utf16_lossy(new_name));
  return line;
}

std::string lines_to_events_line(std::uint64_t count) {
  return std::to_string(count) +
         " earlier lines went to the Event Log (event 1101) while the log could not be made safe";
}

}  // namespace quolin
