// When the log's folder and file may be written through, and the rights the folder is made with.
//
//   if (std::optional<std::string> why = why_folder_unsafe(attributes, security, own_sid)) {
//     ... move it aside, never write through it; *why is "a link", "owner S-1-5-21-...", ...
//   }
//
// The service runs as SYSTEM and the folder sits under ProgramData, where every user may create
// things. Whoever can write the folder, or its access list, can point the service's writes
// anywhere (a link) or read them from a second name. So the folder is judged on the handle the
// service opened, before every line, and only SYSTEM, Administrators and the service's own
// account may hold a right that changes anything.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace quolin {

inline constexpr std::string_view SID_LOCAL_SYSTEM = "S-1-5-18";
inline constexpr std::string_view SID_ADMINISTRATORS = "S-1-5-32-544";

// FILE_ALL_ACCESS, SDDL's "FA".
inline constexpr std::uint32_t FULL_FILE_ACCESS = 0x1F01FF;

// One grant of the log folder's access list: full control, inherited by files and folders in it.
struct FolderGrant {
  std::string_view alias;  // the SDDL alias
  std::string_view sid;
};

// The log folder is made owned by Administrators with a protected access list (nothing inherited
// from ProgramData) of these grants alone.
inline constexpr std::string_view LOG_FOLDER_OWNER_ALIAS = "BA";
inline constexpr std::array<FolderGrant, 2> LOG_FOLDER_GRANTS = {{{"SY", SID_LOCAL_SYSTEM}, {"BA", SID_ADMINISTRATORS}}};

// The reason given for a folder that does not even let the service read its owner and rights.
inline constexpr std::string_view UNREADABLE_FOLDER = "unreadable";

// The descriptor above as SDDL: "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)".
std::u16string log_folder_sddl();

// Why the opened folder must not be written through, or nullopt when it may be. `attributes`
// joins what the path and the handle said (Wine shows a link only on the path); `security` is
// null when the folder would not let the service read it; `own_sid` is the account the service
// runs as. Reasons: "a link", "not a folder", "unreadable", "owner <SID>", "no access list",
// "writable by <SID>".
std::optional<std::string> why_folder_unsafe(std::uint32_t attributes, const platform::ObjectSecurity* security,
                                             std::string_view own_sid);

// Why the opened log file must not be written: "a link", "not a file", "a second name".
std::optional<std::string> why_file_unsafe(const platform::FileIdentity& file);

// The line that opens a log after something unsafe was moved aside, `what` being "folder" or "file":
// "log folder C:\ProgramData\Quolin was not safe (a link); moved it aside to Quolin.untrusted-20261207T141500Z".
std::string moved_aside_line(std::string_view what, std::u16string_view path, std::string_view reason,
                             std::u16string_view new_name);

// The line that opens the log again after `count` lines went to the Event Log (1101) instead:
// "3 earlier lines went to the Event Log (event 1101) while the log could not be made safe".
std::string lines_to_events_line(std::uint64_t count);

}  // namespace quolin
