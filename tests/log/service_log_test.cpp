#include "log/service_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes/fake_files.h"

namespace quolin {
namespace {

using fakes::FakeFiles;
using Calls = std::vector<std::string>;

// 2026-06-13 14:27:00.1234567 UTC.
constexpr std::int64_t JUNE_13_2026_14_27 = 134258344200000000 + 1234567;
constexpr const char* STAMP = "2026-06-13 14:27:00 UTC";
const std::u16string LOG_FILE = u"C:\\ProgramData\\Quolin\\service.log";

const std::string ENV = "GetEnvironmentVariableW(ProgramData)";
const std::string MKDIR_LOG = "CreateDirectoryW(C:\\ProgramData\\Quolin)";
const std::string IS_FOLDER_LOG = "is_folder(C:\\ProgramData\\Quolin)";
const std::string OPEN = "CreateFileW(C:\\ProgramData\\Quolin\\service.log, 0x120114, 7, 4)";
const std::string CLOCK = "GetSystemTimePreciseAsFileTime()";
std::string write(int handle, const std::string& bytes) {
  return std::string("NtWriteFile(#").append(std::to_string(handle)).append(", \"").append(bytes).append("\")");
}
std::string close(int handle) { return std::string("CloseHandle(#").append(std::to_string(handle)).append(")"); }

bool contains(const Calls& calls, const std::string& call) {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// C:\ProgramData\Quolin exists; ProgramData names C:\ProgramData.
struct UsualMachine {
  FakeFiles fs;
  UsualMachine() {
    fs.add_folder(u"C:\\");
    fs.add_folder(u"C:\\ProgramData");
    fs.add_folder(u"C:\\ProgramData\\Quolin");
    fs.environment[u"ProgramData"] = u"C:\\ProgramData";
    fs.clock_ticks = JUNE_13_2026_14_27;
  }
};

// Every handle handed out was closed exactly once.
void expect_every_handle_closed_once(const FakeFiles& fs) {
  EXPECT_EQ(fs.open_handles(), 0u);
  EXPECT_EQ(fs.bad_closes, 0);
  EXPECT_EQ(fs.bad_handle_writes, 0);
}

TEST(ServiceLog, WritesFourPiecesAfterOpeningAndReadingTheClockThenCloses) {
  UsualMachine m;
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("service starting"));

  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN, CLOCK, write(1, STAMP),
                               write(1, " [quolin-service] "), write(1, "service starting"), write(1, "\n"),
                               close(1)}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), "2026-06-13 14:27:00 UTC [quolin-service] service starting\n");
  expect_every_handle_closed_once(m.fs);
}

TEST(ServiceLog, KeepsNothingBetweenLines) {
  UsualMachine m;
  m.fs.add_file(LOG_FILE, "earlier line\n");
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("first"));
  m.fs.clock_ticks += 10 * 10'000'000LL;
  // Moved between two lines: the second line follows the variable, and makes the folders again.
  m.fs.environment[u"ProgramData"] = u"C:\\Elsewhere";
  ASSERT_TRUE(log.write_line("second"));
  // Deleted between two lines: made again, with the next line as its first.
  m.fs.environment[u"ProgramData"] = u"C:\\ProgramData";
  m.fs.nodes.erase(LOG_FILE);
  ASSERT_TRUE(log.write_line("third"));

  EXPECT_EQ(m.fs.file_content(LOG_FILE), "2026-06-13 14:27:10 UTC [quolin-service] third\n");
  EXPECT_EQ(m.fs.file_content(u"C:\\Elsewhere\\Quolin\\service.log"),
            "2026-06-13 14:27:10 UTC [quolin-service] second\n");
  // Every line looked up the variable, opened its own handle and closed it.
  EXPECT_EQ(std::count(m.fs.calls.begin(), m.fs.calls.end(), ENV), 3);
  EXPECT_TRUE(contains(m.fs.calls, close(1)));
  EXPECT_TRUE(contains(m.fs.calls, close(2)));
  EXPECT_TRUE(contains(m.fs.calls, close(3)));
  expect_every_handle_closed_once(m.fs);
}

TEST(ServiceLog, ExistingContentIsKeptAndTheLineFollowsIt) {
  UsualMachine m;
  m.fs.add_file(LOG_FILE, "cut short without LF");
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("next"));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), "cut short without LF2026-06-13 14:27:00 UTC [quolin-service] next\n");
}

TEST(ServiceLog, MakesMissingFoldersTopOneFirst) {
  FakeFiles fs;
  fs.add_folder(u"D:\\");
  fs.environment[u"ProgramData"] = u"D:\\Data";
  fs.clock_ticks = JUNE_13_2026_14_27;
  ServiceLog log(fs);
  ASSERT_TRUE(log.write_line("x"));

  EXPECT_EQ(fs.calls, (Calls{ENV, "CreateDirectoryW(D:\\Data\\Quolin)", "CreateDirectoryW(D:\\Data)",
                             "CreateDirectoryW(D:\\Data\\Quolin)",
                             "CreateFileW(D:\\Data\\Quolin\\service.log, 0x120114, 7, 4)", CLOCK, write(1, STAMP),
                             write(1, " [quolin-service] "), write(1, "x"), write(1, "\n"), close(1)}));
  EXPECT_EQ(fs.file_content(u"D:\\Data\\Quolin\\service.log"), std::string(STAMP) + " [quolin-service] x\n");
}

TEST(ServiceLog, WithoutProgramDataUsesTheDefaultFolder) {
  UsualMachine m;
  m.fs.environment.clear();
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("x"));
  EXPECT_TRUE(contains(m.fs.calls, OPEN));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), std::string(STAMP) + " [quolin-service] x\n");
}

TEST(ServiceLog, EmptyProgramDataGivesAPathInTheCurrentFolder) {
  FakeFiles fs;
  fs.environment[u"ProgramData"] = u"";
  fs.clock_ticks = JUNE_13_2026_14_27;
  ServiceLog log(fs);
  ASSERT_TRUE(log.write_line("x"));
  EXPECT_EQ(fs.calls, (Calls{ENV, "CreateDirectoryW(Quolin)", "CreateFileW(Quolin\\service.log, 0x120114, 7, 4)",
                             CLOCK, write(1, STAMP), write(1, " [quolin-service] "), write(1, "x"), write(1, "\n"),
                             close(1)}));
}

TEST(ServiceLog, NeverMakesABareRoot) {
  FakeFiles fs;  // no drive E: at all
  fs.environment[u"ProgramData"] = u"E:\\";
  ServiceLog log(fs);
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(3));
  EXPECT_EQ(fs.calls, (Calls{ENV, "CreateDirectoryW(E:\\Quolin)", "CreateDirectoryW(E:\\Quolin)",
                             "is_folder(E:\\Quolin)"}));
}

TEST(ServiceLog, LogFolderThatIsAFileFailsWithAlreadyExistsAndWritesNothing) {
  FakeFiles fs;
  fs.add_folder(u"C:\\");
  fs.add_folder(u"C:\\ProgramData");
  fs.add_file(u"C:\\ProgramData\\Quolin", "not a folder");
  fs.environment[u"ProgramData"] = u"C:\\ProgramData";
  ServiceLog log(fs);
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(183));
  EXPECT_EQ(fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG}));
  EXPECT_EQ(fs.file_content(u"C:\\ProgramData\\Quolin"), "not a folder");
}

TEST(ServiceLog, FolderErrorStopsBeforeTheOpenAndKeepsTheFoldersMade) {
  FakeFiles fs;
  fs.add_folder(u"D:\\");
  fs.environment[u"ProgramData"] = u"D:\\A\\B";
  fs.refused_folders[u"D:\\A\\B\\Quolin"] = 5;
  ServiceLog log(fs);
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(5));
  EXPECT_EQ(fs.calls, (Calls{ENV, "CreateDirectoryW(D:\\A\\B\\Quolin)", "CreateDirectoryW(D:\\A\\B)",
                             "CreateDirectoryW(D:\\A)", "CreateDirectoryW(D:\\A\\B)",
                             "CreateDirectoryW(D:\\A\\B\\Quolin)", "is_folder(D:\\A\\B\\Quolin)"}));
  EXPECT_TRUE(fs.is_folder_node(u"D:\\A"));
  EXPECT_TRUE(fs.is_folder_node(u"D:\\A\\B"));
}

TEST(ServiceLog, FolderMadeByAnotherProcessMeanwhileCountsAsMade) {
  FakeFiles fs;
  fs.add_folder(u"D:\\");
  fs.environment[u"ProgramData"] = u"D:\\Data";
  fs.clock_ticks = JUNE_13_2026_14_27;
  // Another writer makes the log folder right after we made the folder above it.
  fs.before_create_directory = [&fs](const std::u16string& path) {
    if (path == u"D:\\Data\\Quolin" && fs.is_folder_node(u"D:\\Data")) fs.add_folder(path);
  };
  ServiceLog log(fs);
  ASSERT_TRUE(log.write_line("x"));
  EXPECT_EQ(fs.calls, (Calls{ENV, "CreateDirectoryW(D:\\Data\\Quolin)", "CreateDirectoryW(D:\\Data)",
                             "CreateDirectoryW(D:\\Data\\Quolin)", "is_folder(D:\\Data\\Quolin)",
                             "CreateFileW(D:\\Data\\Quolin\\service.log, 0x120114, 7, 4)", CLOCK, write(1, STAMP),
                             write(1, " [quolin-service] "), write(1, "x"), write(1, "\n"), close(1)}));
}

TEST(ServiceLog, OpenFailureWritesNothingAndReturnsItsError) {
  UsualMachine m;
  m.fs.refuse_open = 5;
  ServiceLog log(m.fs);
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(5));
  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), std::nullopt);
}

TEST(ServiceLog, LogFilePathThatIsAFolderFailsAtTheOpen) {
  UsualMachine m;
  m.fs.add_folder(LOG_FILE);
  ServiceLog log(m.fs);
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(5));
  EXPECT_EQ(m.fs.calls.back(), OPEN);
}

TEST(ServiceLog, PartialWritesAreFollowedByTheRest) {
  UsualMachine m;
  m.fs.writes = {FakeFiles::take(5), FakeFiles::take(1), FakeFiles::take(17), FakeFiles::take(100),
                 FakeFiles::take(3)};
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("message"));
  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN, CLOCK, write(1, STAMP),
                               write(1, "06-13 14:27:00 UTC"), write(1, "6-13 14:27:00 UTC"),
                               write(1, " [quolin-service] "), write(1, "message"), write(1, "sage"),
                               write(1, "\n"), close(1)}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), std::string(STAMP) + " [quolin-service] message\n");
}

TEST(ServiceLog, InterruptedWriteIsIssuedAgain) {
  UsualMachine m;
  m.fs.writes = {FakeFiles::take(100), FakeFiles::take(100), FakeFiles::interrupt(), FakeFiles::interrupt()};
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("message"));
  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN, CLOCK, write(1, STAMP),
                               write(1, " [quolin-service] "), write(1, "message"), write(1, "message"),
                               write(1, "message"), write(1, "\n"), close(1)}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), std::string(STAMP) + " [quolin-service] message\n");
}

TEST(ServiceLog, WriteThatTakesNothingFailsAndSkipsTheLaterPieces) {
  UsualMachine m;
  m.fs.writes = {FakeFiles::take(100), FakeFiles::take_nothing()};
  ServiceLog log(m.fs);
  Status<LogError> result = log.write_line("message");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::write_zero());
  EXPECT_EQ(result.error().text(), "failed to write whole buffer");
  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN, CLOCK, write(1, STAMP),
                               write(1, " [quolin-service] "), close(1)}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), STAMP);
  expect_every_handle_closed_once(m.fs);
}

TEST(ServiceLog, WriteErrorLeavesTheLineCutShortAndClosesOnce) {
  UsualMachine m;
  m.fs.writes = {FakeFiles::take(100), FakeFiles::take(100), FakeFiles::take(3), FakeFiles::fail_with(112)};
  ServiceLog log(m.fs);
  Status<LogError> result = log.write_line("message");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(112));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), std::string(STAMP) + " [quolin-service] mes");  // no LF
  EXPECT_EQ(m.fs.calls.back(), close(1));
  expect_every_handle_closed_once(m.fs);

  // The next line begins right after the cut.
  ASSERT_TRUE(log.write_line("again"));
  EXPECT_EQ(m.fs.file_content(LOG_FILE),
            std::string(STAMP) + " [quolin-service] mes" + STAMP + " [quolin-service] again\n");
  expect_every_handle_closed_once(m.fs);
}

TEST(ServiceLog, EmptyMessageIssuesNoWriteForIt) {
  UsualMachine m;
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line(""));
  EXPECT_EQ(m.fs.calls, (Calls{ENV, MKDIR_LOG, IS_FOLDER_LOG, OPEN, CLOCK, write(1, STAMP),
                               write(1, " [quolin-service] "), write(1, "\n"), close(1)}));
  EXPECT_EQ(m.fs.file_content(LOG_FILE), "2026-06-13 14:27:00 UTC [quolin-service] \n");
}

TEST(ServiceLog, MessageBytesReachTheFileUnchanged) {
  const std::string messages[] = {
      "no active user session at start \xE2\x80\x94 waiting for logon",
      "first\nsecond",
  };
  for (const std::string& message : messages) {
    SCOPED_TRACE(message);
    UsualMachine m;
    ServiceLog log(m.fs);
    ASSERT_TRUE(log.write_line(message));
    EXPECT_EQ(m.fs.file_content(LOG_FILE), std::string(STAMP) + " [quolin-service] " + message + "\n");
  }
  UsualMachine m;
  ServiceLog log(m.fs);
  ASSERT_TRUE(log.write_line("dash \xE2\x80\x94 here"));
  const std::string expected_bytes = "dash \xE2\x80\x94 here\n";
  const std::string content = *m.fs.file_content(LOG_FILE);
  EXPECT_EQ(content.substr(content.size() - expected_bytes.size()), expected_bytes);
}

TEST(CreateFolderTree, EmptyPathAndRootsNeedNoCall) {
  for (std::u16string_view folder : {u"", u"C:\\", u"C:", u"\\", u"\\\\server\\share"}) {
    FakeFiles fs;
    EXPECT_TRUE(create_folder_tree(fs, folder));
    EXPECT_TRUE(fs.calls.empty());
  }
}

TEST(CreateFolderTree, StopsAtTheShareOfAUncPath) {
  FakeFiles fs;  // the share does not exist: nothing may try to make it
  Status<LogError> result = create_folder_tree(fs, u"\\\\server\\share\\Quolin");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), LogError::os(3));
  for (const std::string& call : fs.calls) EXPECT_NE(call, "CreateDirectoryW(\\\\server\\share)");
  for (const std::string& call : fs.calls) EXPECT_NE(call, "CreateDirectoryW(\\\\server\\share\\)");
}

}  // namespace
}  // namespace quolin
