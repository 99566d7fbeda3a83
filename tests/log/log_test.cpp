// The service log against FakeFiles, which counts double closes and writes through closed
// handles; its path, and the timestamp checked against the standard library's calendar.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_files.h"
#include "log/log_format.h"
#include "log/log_path.h"
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
      {"zero-byte write", {FakeFiles::take(100), FakeFiles::take_nothing()}, "message", LogError::write_zero(),
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

    Status<LogError> result = ServiceLog(fs).write_line(c.message);

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    EXPECT_EQ(fs.file_content(LOG_FILE), "old|" + c.content);
    // The time is read right after the open, so that it is the time of the write; the close comes last.
    const auto clock = std::find(fs.calls.begin(), fs.calls.end(), "GetSystemTimePreciseAsFileTime()");
    ASSERT_NE(clock, fs.calls.end());
    EXPECT_TRUE(clock[-1].starts_with("CreateFileW(")) << clock[-1];
    EXPECT_EQ(fs.calls.back(), "CloseHandle(#1)");
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
      {"refused", u"D:\\A\\B", [](FakeFiles& fs) {
         fs.add_folder(u"D:\\");
         fs.refused_folders[u"D:\\A\\B\\Quolin"] = 5;
       },
       LogError::os(5), u""},
      {"no drive", u"E:\\", [](FakeFiles&) {}, LogError::os(3), u""},
      {"no share", u"\\\\server\\share", [](FakeFiles&) {}, LogError::os(3), u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    c.setup(fs);
    fs.environment[u"ProgramData"] = c.program_data;
    fs.clock_ticks = JUNE_13_2026_14_27;

    Status<LogError> result = ServiceLog(fs).write_line("x");

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

TEST(ServiceLog, AnOpenRefusedByAPassingLockIsTriedAgainFor250MsAtMost) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> refusals;  // the next opens fail with these, then opens succeed
    std::optional<LogError> error;
    std::vector<std::uint32_t> sleeps;
  };
  const Case cases[] = {
      {"sharing violation, let go", {32, 32}, std::nullopt, {10, 20}},
      {"lock violation, let go", {33}, std::nullopt, {10}},
      {"let go at the last try", {32, 33, 32, 32, 32}, std::nullopt, {10, 20, 40, 80, 100}},
      {"held throughout", {32, 32, 32, 32, 32, 32}, LogError::os(32), {10, 20, 40, 80, 100}},
      {"another error after a lock", {32, 5}, LogError::os(5), {10}},
      {"access denied: not retried", {5}, LogError::os(5), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFiles fs;
    usual_machine(fs);
    fs.open_failures.assign(c.refusals.begin(), c.refusals.end());

    Status<LogError> result = ServiceLog(fs).write_line("x");

    EXPECT_EQ(result ? std::nullopt : std::optional(result.error()), c.error);
    // Each wait comes between two opens: a retry before its wait would cut a passing lock short.
    std::vector<std::string> opens_and_waits, expected = {"open"};
    for (const std::string& call : fs.calls) {
      if (call.starts_with("CreateFileW(")) opens_and_waits.push_back("open");
      if (call.starts_with("Sleep(")) opens_and_waits.push_back(call);
    }
    for (std::uint32_t ms : c.sleeps) expected.insert(expected.end(), {"Sleep(" + std::to_string(ms) + ")", "open"});
    EXPECT_EQ(opens_and_waits, expected);
    EXPECT_LE(fs.slept_ms, 250u);
    // The line is written once, or not at all.
    EXPECT_EQ(fs.file_content(LOG_FILE).value_or(""), c.error ? "" : STAMP + " [quolin-service] x\n");
    expect_every_handle_closed_once(fs);
  }
}

TEST(CreateFolderTree, EveryMissingParentCodeMakesTheParentsFirst) {
  // Each code below says the folder above is missing; once it is made, the folder can be too.
  for (std::uint32_t code : {2u, 3u, 15u, 53u, 67u}) {
    SCOPED_TRACE(code);
    FakeFiles fs;
    fs.add_folder(u"D:\\");
    fs.add_folder(u"D:\\A");
    fs.refused_folders[u"D:\\A\\Quolin"] = code;
    fs.before_create_directory = [&fs](const std::u16string& path) {
      if (path == u"D:\\A") fs.refused_folders.clear();
    };
    EXPECT_TRUE(create_folder_tree(fs, u"D:\\A\\Quolin"));
    EXPECT_TRUE(fs.is_folder_node(u"D:\\A\\Quolin"));
  }
}

TEST(ServiceLog, KeepsNothingBetweenLines) {
  FakeFiles fs;
  usual_machine(fs);
  ServiceLog log(fs);
  ASSERT_TRUE(log.write_line("first"));
  fs.environment[u"ProgramData"] = u"C:\\Elsewhere";  // moved: the next line follows, making folders
  ASSERT_TRUE(log.write_line("second"));

  EXPECT_EQ(fs.file_content(LOG_FILE), STAMP + " [quolin-service] first\n");
  EXPECT_EQ(fs.file_content(u"C:\\Elsewhere\\Quolin\\service.log"), STAMP + " [quolin-service] second\n");
  expect_every_handle_closed_once(fs);
}

std::string shown(std::u16string_view s) { return platform::utf8_from_utf16_lossy(s); }

// The path grammar at its edges; log_file_path_fuzz covers the paths the log itself makes.
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
