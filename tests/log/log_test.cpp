// The service log against FakeFiles, which counts double closes and writes through closed
// handles. Owners, access lists, links seen on a handle and byte-range locks are proven here
// alone: Wine applies no security descriptor, enforces no access list or write lock, and shows a
// link only in the path's attributes (tests/e2e runs the link and the second name for real).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_event_log.h"
#include "fakes/fake_files.h"
#include "log/event_log_sink.h"
#include "log/log_format.h"
#include "log/log_path.h"
#include "log/log_safety.h"
#include "log/service_log.h"
#include "platform/text.h"

namespace quolin {
namespace {

using fakes::FakeFiles;

constexpr std::int64_t JUNE_13_2026_14_27 = 134258344200000000 + 1234567;  // and a fraction
const std::string STAMP = "2026-06-13 14:27:00 UTC";
const std::u16string LOG_FILE = u"C:\\ProgramData\\Quolin\\service.log";

// C:\ProgramData\Quolin exists and ProgramData names C:\ProgramData.
void usual_machine(FakeFiles& fs) {
  for (const char16_t* folder : {u"C:\\", u"C:\\ProgramData", u"C:\\ProgramData\\Quolin"}) fs.add_folder(folder);
  fs.environment[u"ProgramData"] = u"C:\\ProgramData";
  fs.clock_ticks = JUNE_13_2026_14_27;
}

std::string shown(std::u16string_view s) { return platform::utf8_from_utf16_lossy(s); }

Status<LogError> write_one(FakeFiles& fs, std::string_view message) {
  fakes::FakeEventLog event_log;
  EventLogSink events(event_log);
  return ServiceLog(fs, events).write_line(message);
}

void expect_every_handle_closed_once(const FakeFiles& fs) {
  EXPECT_EQ(fs.open_handles(), 0u);
  EXPECT_EQ(fs.bad_closes, 0);
  EXPECT_EQ(fs.bad_handle_writes, 0);
}

TEST(ServiceLog, EachWriteStepIsContinuedRetriedOrEndsTheLine) {
  struct Case {
    const char* name;
    std::vector<FakeFiles::WriteStep> steps;  // one per NtWriteFile call, then whole writes
    std::string message;
    std::optional<LogError> error;
    std::string content;  // after "old|"
  };
  const std::string line = STAMP + " [quolin-service] message\n";
  const Case cases[] = {
      {"whole", {}, "message", std::nullopt, line},
      {"partial writes continued",
       {FakeFiles::take(5), FakeFiles::take(1), FakeFiles::take(17), FakeFiles::take(100), FakeFiles::take(3)},
       "message", std::nullopt, line},
      {"interrupted writes retried",
       {FakeFiles::take(100), FakeFiles::take(100), FakeFiles::interrupt(), FakeFiles::interrupt()}, "message",
       std::nullopt, line},
      {"zero-byte write", {FakeFiles::take(100), FakeFiles::take(0)}, "message", LogError::write_zero(),
       STAMP},
      {"failed write", {FakeFiles::take(100), FakeFiles::take(100), FakeFiles::take(3), FakeFiles::fail_with(112)},
       "message", LogError::os(112), STAMP + " [quolin-service] mes"},
      {"empty message", {}, "", std::nullopt, STAMP + " [quolin-service] \n"},  // no write of nothing
      {"bytes unchanged", {}, std::string("a \xE2\x80\x94 b\r\n\0c", 11), std::nullopt,
       STAMP + std::string(" [quolin-service] a \xE2\x80\x94 b\r\n\0c\n", 30)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    usual_machine(fs);
    fs.add_file(LOG_FILE, "old|");
    fs.writes = {c.steps.begin(), c.steps.end()};

    Status<LogError> result = write_one(fs, c.message);

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    EXPECT_EQ(fs.file_content(LOG_FILE), "old|" + c.content);
    // The time is read right after the file is opened and judged, so that it is the time of the
    // write; the file is closed, then the folder held since before it was opened.
    const auto clock = std::find(fs.calls.begin(), fs.calls.end(), "GetSystemTimePreciseAsFileTime()");
    ASSERT_NE(clock, fs.calls.end());
    EXPECT_EQ(clock[-1], "GetFileInformationByHandleEx(#2)");
    EXPECT_EQ(std::vector<std::string>(fs.calls.end() - 2, fs.calls.end()),
              (std::vector<std::string>{"CloseHandle(#2)", "CloseHandle(#1)"}));
    expect_every_handle_closed_once(fs);
  }
}

TEST(ServiceLog, MakesTheFolderTreeTopDownButNeverARootOrAShare) {
  struct Case {
    const char* name;
    std::u16string program_data;
    void (*setup)(FakeFiles&);
    std::optional<LogError> error;
    std::u16string log_file;  // holds the line afterwards, unless there is an error
  };
  const Case cases[] = {
      {"missing parents", u"D:\\A\\B", [](FakeFiles& fs) { fs.add_folder(u"D:\\"); }, std::nullopt,
       u"D:\\A\\B\\Quolin\\service.log"},
      {"made meanwhile by another process", u"D:\\A", [](FakeFiles& fs) {
         fs.add_folder(u"D:\\");
         fs.before_create_directory = [&fs](const std::u16string& path) {
           if (path == u"D:\\A\\Quolin" && fs.is_folder_node(u"D:\\A")) fs.add_folder(path);
         };
       },
       std::nullopt, u"D:\\A\\Quolin\\service.log"},
      {"refused: the disk is full", u"D:\\A\\B", [](FakeFiles& fs) {
         fs.add_folder(u"D:\\");
         fs.refused_folders[u"D:\\A\\B\\Quolin"] = 112;
       },
       LogError::os(112), u""},
      {"no drive", u"E:\\", [](FakeFiles&) {}, LogError::os(3), u""},
      {"no share", u"\\\\server\\share", [](FakeFiles&) {}, LogError::os(3), u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    c.setup(fs);
    fs.environment[u"ProgramData"] = c.program_data;
    fs.clock_ticks = JUNE_13_2026_14_27;

    Status<LogError> result = write_one(fs, "x");

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    if (!c.log_file.empty()) {
      EXPECT_EQ(fs.file_content(c.log_file), STAMP + " [quolin-service] x\n");
    }
    expect_every_handle_closed_once(fs);
    for (const char* root : {"E:\\", "E:", "\\\\server\\share", "\\\\server\\share\\"}) {
      const std::string make_root = std::string("CreateDirectoryW(") + root + ")";
      EXPECT_EQ(std::count(fs.calls.begin(), fs.calls.end(), make_root), 0) << make_root;
    }
  }
}

TEST(ServiceLog, AnOpenOrWriteRefusedByAPassingLockIsTriedAgainFor250MsALineAtMost) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> open_refusals;   // the next opens of the log fail with these
    std::vector<std::uint32_t> write_refusals;  // then the next writes
    std::optional<LogError> error;
    std::vector<std::uint32_t> sleeps;
  };
  const Case cases[] = {
      {"sharing violation, let go", {32, 32}, {}, std::nullopt, {10, 20}},
      {"lock violation, let go", {33}, {}, std::nullopt, {10}},
      {"let go at the last try", {32, 33, 32, 32, 32}, {}, std::nullopt, {10, 20, 40, 80, 100}},
      {"held throughout", {32, 32, 32, 32, 32, 32}, {}, LogError::os(32), {10, 20, 40, 80, 100}},
      {"another error after a lock", {32, 5}, {}, LogError::os(5), {10}},
      {"access denied: not retried", {5}, {}, LogError::os(5), {}},
      {"range locked for 100 ms", {}, {33, 33, 33, 33}, std::nullopt, {10, 20, 40, 80}},
      {"range locked longer", {}, {33, 33, 33, 33, 33, 33}, LogError::os(33), {10, 20, 40, 80, 100}},
      {"one budget for the open and the writes", {32, 32, 32}, {33, 33, 33}, LogError::os(33), {10, 20, 40, 80, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    usual_machine(fs);
    fs.open_failures[LOG_FILE].assign(c.open_refusals.begin(), c.open_refusals.end());
    for (std::uint32_t code : c.write_refusals) fs.writes.push_back(FakeFiles::fail_with(code));

    Status<LogError> result = write_one(fs, "x");

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    // The waits, and each open of the log again only after its wait: a retry before its wait
    // would cut a passing lock short.
    std::vector<std::uint32_t> sleeps;
    std::string opens_and_waits;
    const std::string open_log = "CreateFileW(" + platform::utf8_from_utf16_lossy(LOG_FILE) + ",";
    for (const std::string& call : fs.calls) {
      if (call.starts_with("Sleep(")) sleeps.push_back(static_cast<std::uint32_t>(std::stoul(call.substr(6))));
      if (call.starts_with("Sleep(") || call.starts_with(open_log)) opens_and_waits += call[0];
    }
    EXPECT_EQ(sleeps, c.sleeps);
    EXPECT_EQ(opens_and_waits.find("CC"), std::string::npos) << opens_and_waits;
    EXPECT_LE(fs.slept_ms, 250u);
    // The line is written once, or not at all.
    EXPECT_EQ(fs.file_content(LOG_FILE).value_or(""), c.error ? "" : STAMP + " [quolin-service] x\n");
    expect_every_handle_closed_once(fs);
  }
}

TEST(ServiceLog, WritesOnlyThroughAFolderAndFileJudgedSafeAndMovesAnUnsafeOneAside) {
  const std::u16string folder = u"C:\\ProgramData\\Quolin";
  const std::u16string folder_aside = u"C:\\ProgramData\\Quolin.untrusted-20260613T142700Z";
  const std::u16string file_aside = u"C:\\ProgramData\\Quolin\\service.log.untrusted-20260613T142700Z";
  const std::string folder_moved = "log folder C:\\ProgramData\\Quolin was not safe (";
  const std::string to_folder_aside = "); moved it aside to Quolin.untrusted-20260613T142700Z";
  const std::string file_moved = "log file C:\\ProgramData\\Quolin\\service.log was not safe (";
  const std::string to_file_aside = "); moved it aside to service.log.untrusted-20260613T142700Z";
  const std::string user = "S-1-5-21-7-7-7-1013";
  const auto line = [](const std::string& message) { return STAMP + " [quolin-service] " + message + "\n"; };
  const platform::AccessEntry read_for_users{true, 0x1200A9, "S-1-5-32-545"};
  const platform::AccessEntry write_denied_to_users{false, 0x2, "S-1-5-32-545"};

  struct Case {
    std::string name;
    std::function<void(FakeFiles&)> setup;  // on the usual machine, whose log holds "old|"
    std::optional<LogError> error;
    std::string log;                          // the log file's content afterwards
    std::map<std::u16string, std::string> kept;  // other files and their content afterwards
    std::string to_event_log = {};  // the line's event 1101, when the log could not be made safe
  };
  const auto security = [&](std::string owner, std::vector<platform::AccessEntry> entries) {
    return [=](FakeFiles& fs) { fs.nodes[folder].security = {owner, true, entries}; };
  };
  const auto moved_folder = [&](const std::string& why) {
    return folder_moved + why + to_folder_aside;
  };
  const std::map<std::u16string, std::string> old_log_kept_aside = {{folder_aside + u"\\service.log", "old|"}};
  const std::vector<Case> cases = {
      {"trusted: made by the service, owned by Administrators",
       security(std::string(SID_ADMINISTRATORS), {{true, FULL_FILE_ACCESS, std::string(SID_LOCAL_SYSTEM)},
                                                  {true, FULL_FILE_ACCESS, std::string(SID_ADMINISTRATORS)}}),
       std::nullopt, "old|" + line("x"), {}},
      {"trusted: owned by SYSTEM, read and write refusals for users",
       security(std::string(SID_LOCAL_SYSTEM), {read_for_users, write_denied_to_users}), std::nullopt,
       "old|" + line("x"), {}},
      {"trusted: owned by the service's own account",
       [&](FakeFiles& fs) {
         fs.account_sid = user;
         fs.nodes[folder].security = {user, true, {{true, FULL_FILE_ACCESS, user}}};
       },
       std::nullopt, "old|" + line("x"), {}},
      {"a link", [&](FakeFiles& fs) { fs.nodes[folder].link = true; }, std::nullopt,
       line(moved_folder("a link")) + line("x"), old_log_kept_aside},
      {"a link shown on the path only", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.links_on_path_only = true;
       },
       std::nullopt, line(moved_folder("a link")) + line("x"), old_log_kept_aside},
      {"not a folder", [&](FakeFiles& fs) {
         fs.nodes.erase(LOG_FILE);
         fs.add_file(folder, "in the way");
       },
       std::nullopt,
       line(moved_folder("not a folder")) + line("x"), {{folder_aside, "in the way"}}},
      {"owner", security(user, {}), std::nullopt, line(moved_folder("owner " + user)) + line("x"), old_log_kept_aside},
      {"no access list", [&](FakeFiles& fs) { fs.nodes[folder].security.has_access_list = false; }, std::nullopt,
       line(moved_folder("no access list")) + line("x"), old_log_kept_aside},
      {"writable by users", security(std::string(SID_LOCAL_SYSTEM), {read_for_users, {true, 0x4, "S-1-5-32-545"}}),
       std::nullopt, line(moved_folder("writable by S-1-5-32-545")) + line("x"), old_log_kept_aside},
      {"rights changeable by anyone",
       security(std::string(SID_LOCAL_SYSTEM), {{true, 0x40000, "S-1-1-0"}}), std::nullopt,
       line(moved_folder("writable by S-1-1-0")) + line("x"), old_log_kept_aside},
      {"unreadable", [&](FakeFiles& fs) { fs.open_failures[folder] = {5, 5}; }, std::nullopt,
       line(moved_folder("unreadable")) + line("x"), old_log_kept_aside},
      {"rename refused twice", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.rename_failures = {5, 32};
       },
       std::nullopt, line(moved_folder("a link")) + line("x"), old_log_kept_aside},
      {"the name aside taken", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.add_folder(folder_aside);
       },
       std::nullopt, line(moved_folder("a link") + "-2") + line("x"), {{folder_aside + u"-2\\service.log", "old|"}}},
      {"unsafe, then safe when judged again", [&](FakeFiles& fs) { fs.open_failures[folder] = {32}; }, std::nullopt,
       "old|" + line("x"), {}},
      {"swapped between the two judgements", [&](FakeFiles& fs) {
         fs.nodes[folder].security.owner = user;
         fs.before_open = [&fs, folder](const std::u16string& path, std::uint32_t access) {
           if (path != folder || (access & platform::ACCESS_DELETE) == 0 || !fs.nodes[folder].folder) return;
           fs.nodes.erase(LOG_FILE);
           fs.nodes.erase(folder);
           fs.add_file(folder, "swapped in");
         };
       },
       std::nullopt, line(moved_folder("not a folder")) + line("x"), {{folder_aside, "swapped in"}}},
      {"held by someone throughout", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.held.insert(folder);
       },
       std::nullopt, "old|", {},
       "Warning 1101: log folder | C:\\ProgramData\\Quolin | a link | os error 32 | x"},
      {"its deletion pending while someone holds it", [&](FakeFiles& fs) { fs.nodes[folder].delete_pending = true; },
       std::nullopt, "old|", {}, "Warning 1101: log folder | C:\\ProgramData\\Quolin | unreadable | os error 5 | x"},
      {"log file a second name, held by someone throughout", [&](FakeFiles& fs) {
         fs.nodes[LOG_FILE].names = 2;
         fs.held.insert(LOG_FILE);
       },
       std::nullopt, "old|", {},
       "Warning 1101: log file | C:\\ProgramData\\Quolin\\service.log | a second name | os error 32 | x"},
      {"rename refused three times", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.rename_failures = {5, 5, 5};
       },
       std::nullopt, "old|", {}, "Warning 1101: log folder | C:\\ProgramData\\Quolin | a link | os error 5 | x"},
      {"name taken again after the rename", [&](FakeFiles& fs) {
         fs.nodes[folder].link = true;
         fs.after_rename = [&fs, folder, user](const std::u16string&) {
           if (fs.nodes.count(u"C:\\ProgramData\\Quolin.untrusted-20260613T142701Z") != 0) return;
           fs.add_folder(folder).security.owner = user;
           fs.clock_ticks += TICKS_PER_SECOND;
         };
       },
       std::nullopt,  // every line bears the time it is written
       "2026-06-13 14:27:01 UTC [quolin-service] " + moved_folder("a link") + "\n" +
           "2026-06-13 14:27:01 UTC [quolin-service] log folder C:\\ProgramData\\Quolin was not safe (owner " + user +
           "); moved it aside to Quolin.untrusted-20260613T142701Z\n" +
           "2026-06-13 14:27:01 UTC [quolin-service] x\n",
       old_log_kept_aside},
      {"log file a link", [&](FakeFiles& fs) { fs.nodes[LOG_FILE].link = true; }, std::nullopt,
       line(file_moved + "a link" + to_file_aside) + line("x"), {{file_aside, "old|"}}},
      {"log file a second name", [&](FakeFiles& fs) { fs.nodes[LOG_FILE].names = 2; }, std::nullopt,
       line(file_moved + "a second name" + to_file_aside) + line("x"), {{file_aside, "old|"}}},
      {"log file a folder", [&](FakeFiles& fs) { fs.add_folder(LOG_FILE); }, std::nullopt,
       line(file_moved + "not a file" + to_file_aside) + line("x"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    usual_machine(fs);
    fs.add_file(LOG_FILE, "old|");
    c.setup(fs);
    fakes::FakeEventLog event_log;
    EventLogSink events(event_log);

    Status<LogError> result = ServiceLog(fs, events).write_line("x");

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    EXPECT_EQ(fs.file_content(LOG_FILE), c.log);
    // Each moved-aside line is also reported to the Event Log (1100), with the line's values.
    std::vector<std::string> reported;
    static const std::regex moved(R"(\] (log \w+) (.*) was not safe \((.*)\); moved it aside to (.*))");
    std::istringstream lines(c.log);
    for (std::string l; std::getline(lines, l);) {
      if (std::smatch m; std::regex_search(l, m, moved)) {
        reported.push_back("Warning 1100: " + m.str(1) + " | " + m.str(2) + " | " + m.str(3) + " | " + m.str(4));
      }
    }
    if (!c.to_event_log.empty()) reported.push_back(c.to_event_log);
    EXPECT_EQ(event_log.events, reported);
    for (const auto& [path, content] : c.kept) EXPECT_EQ(fs.file_content(path), content) << shown(path);
    // Nothing but the log file was written, through any name.
    for (const auto& [path, node] : fs.nodes) {
      if (!node.folder && path != LOG_FILE && c.kept.count(path) == 0) ADD_FAILURE() << "unexpected " << shown(path);
    }
    expect_every_handle_closed_once(fs);
  }
}

TEST(ServiceLog, AMoveAsideIsReportedEvenWhenNoLineCanFollowIt) {
  FakeFiles fs;
  usual_machine(fs);
  fs.nodes[u"C:\\ProgramData\\Quolin"].link = true;
  fs.open_failures[LOG_FILE] = {5};  // the fresh log cannot be made
  fakes::FakeEventLog event_log;
  EventLogSink events(event_log);
  EXPECT_EQ(ServiceLog(fs, events).write_line("x").error(), LogError::os(5));
  EXPECT_EQ(event_log.events, std::vector<std::string>{"Warning 1100: log folder | C:\\ProgramData\\Quolin | a link | "
                                                       "Quolin.untrusted-20260613T142700Z"});
  expect_every_handle_closed_once(fs);
}

TEST(CreateFolderTree, EveryMissingParentCodeMakesTheParentsFirst) {
  for (std::uint32_t code : {2u, 3u, 15u, 53u, 67u}) {  // each says the folder above is missing
    SCOPED_TRACE(code);
    FakeFiles fs;
    fs.add_folder(u"D:\\");
    fs.missing_parent_code = code;
    EXPECT_TRUE(create_folder_tree(fs, u"D:\\A\\Quolin"));
    EXPECT_TRUE(fs.is_folder_node(u"D:\\A\\Quolin"));
  }
}

// Nothing is kept between lines: when ProgramData moves, the next line follows it, making the
// missing folders, the log folder alone with rights for SYSTEM and Administrators.
TEST(ServiceLog, FollowsProgramDataEveryLineAndMakesAMissingLogFolderForSystemAndAdministratorsAlone) {
  EXPECT_EQ(log_folder_sddl(), u"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  FakeFiles fs;
  usual_machine(fs);
  fakes::FakeEventLog event_log;
  EventLogSink events(event_log);
  ServiceLog log(fs, events);
  ASSERT_TRUE(log.write_line("first"));
  fs.environment[u"ProgramData"] = u"C:\\Elsewhere";
  ASSERT_TRUE(log.write_line("second"));

  EXPECT_EQ(fs.file_content(LOG_FILE), STAMP + " [quolin-service] first\n");
  EXPECT_EQ(fs.file_content(u"C:\\Elsewhere\\Quolin\\service.log"), STAMP + " [quolin-service] second\n");
  EXPECT_EQ(fs.nodes[u"C:\\Elsewhere\\Quolin"].sddl, log_folder_sddl());
  EXPECT_EQ(fs.nodes[u"C:\\Elsewhere"].sddl, u"") << "folders above keep their inherited rights";
  expect_every_handle_closed_once(fs);
}

// The path grammar at its edges.
TEST(ParentFolder, DropsTheLastComponentButNeverARoot) {
  struct Case {
    std::u16string_view path;
    std::u16string_view parent;
    bool is_root;
  };
  constexpr Case cases[] = {
      {u"C:\\ProgramData", u"C:\\", false},
      {u"C:\\ProgramData\\\\Quolin\\", u"C:\\ProgramData", false},
      {u"C:x", u"C:", false},
      {u"Quolin", u"", false},
      {u"\\Quolin", u"\\", false},
      {u"\\\\server\\share\\Quolin", u"\\\\server\\share\\", false},
      {u"\\\\?\\UNC\\server\\share\\Quolin", u"\\\\?\\UNC\\server\\share\\", false},
      {u"C:\\", u"", true},
      {u"\\\\server\\share", u"", true},
      {u"\\\\?\\C:\\", u"", true},
      {u"\\\\?\\UNC\\server\\share\\", u"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(shown(c.path));
    EXPECT_EQ(parent_folder(c.path), c.parent);
    EXPECT_EQ(is_bare_root(c.path), c.is_root);
  }
}

}  // namespace
}  // namespace quolin
