// The service log and the files group against the real Win32 calls (run under Wine).
// Each test works in a folder of its own under the temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "log/log_format.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "platform/windows_headers.h"

namespace quolin {
namespace {

namespace fs = std::filesystem;
using platform::Files;
using platform::win32_files;

std::optional<std::wstring> raw_environment(const wchar_t* name) {
  DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::wstring value(needed, L'\0');
  DWORD n = ::GetEnvironmentVariableW(name, value.data(), needed);
  value.resize(n);
  return value;
}

// Sets (or, with nullopt, removes) a variable of this process, and puts it back afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::optional<std::wstring>& value)
      : name_(name), saved_(raw_environment(name)) {
    ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
  }
  ~ScopedEnvironment() { ::SetEnvironmentVariableW(name_, saved_ ? saved_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* name_;
  std::optional<std::wstring> saved_;
};

class RealFiles : public testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / (std::string("quolin-log-") + std::to_string(::GetCurrentProcessId()) + "-" +
                                         std::to_string(counter++) + "-" + info->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  static std::u16string u16(const fs::path& p) { return p.u16string(); }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }

  Files& files = win32_files();
  fs::path root_;
};

// The whole line, checked against the clock read just before and just after the write.
void expect_one_line(const std::string& content, std::int64_t before, std::int64_t after,
                     const std::string& message) {
  const std::string tail = std::string(LOG_TAG) + message + "\n";
  ASSERT_GT(content.size(), tail.size());
  const std::string stamp = content.substr(0, content.size() - tail.size());
  EXPECT_EQ(content.substr(stamp.size()), tail);
  EXPECT_GE(stamp, format_timestamp(before));  // same width: text order is time order
  EXPECT_LE(stamp, format_timestamp(after));
}

TEST_F(RealFiles, EnvironmentLookupTellsEmptyFromAbsent) {
  const wchar_t* name = L"QUOLIN_LOG_TEST_VARIABLE";
  {
    ScopedEnvironment absent(name, std::nullopt);
    EXPECT_EQ(files.GetEnvironmentVariableW(u"QUOLIN_LOG_TEST_VARIABLE"), std::nullopt);
  }
  {
    ScopedEnvironment empty(name, L"");
    EXPECT_EQ(files.GetEnvironmentVariableW(u"QUOLIN_LOG_TEST_VARIABLE"), std::u16string());
  }
  {
    ScopedEnvironment text(name, L"C:\\Donn\u00e9es");
    EXPECT_EQ(files.GetEnvironmentVariableW(u"QUOLIN_LOG_TEST_VARIABLE"), u"C:\\Donn\u00e9es");
  }
  {
    // Longer than any first guess at the buffer.
    const std::wstring long_value(5000, L'x');
    ScopedEnvironment text(name, long_value);
    std::optional<std::u16string> got = files.GetEnvironmentVariableW(u"QUOLIN_LOG_TEST_VARIABLE");
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 5000u);
    EXPECT_EQ(*got, std::u16string(5000, u'x'));
  }
  EXPECT_EQ(raw_environment(name), std::nullopt);
}

TEST_F(RealFiles, CreateDirectoryReportsExistingAndMissingParent) {
  const fs::path folder = root_ / "made";
  EXPECT_EQ(files.CreateDirectoryW(u16(folder)), 0u);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(files.CreateDirectoryW(u16(folder)), platform::CODE_ALREADY_EXISTS);
  EXPECT_EQ(files.CreateDirectoryW(u16(root_ / "missing" / "child")), platform::CODE_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(root_ / "missing"));

  EXPECT_TRUE(files.is_folder(u16(folder)));
  write_file(root_ / "file", "x");
  EXPECT_FALSE(files.is_folder(u16(root_ / "file")));
  EXPECT_FALSE(files.is_folder(u16(root_ / "missing")));
}

TEST_F(RealFiles, AppendHandlesWriteAtTheEndWhateverTheOtherWritersDid) {
  const std::u16string path = u16(root_ / "shared.log");
  write_file(root_ / "shared.log", "old|");
  Result<platform::Handle, std::uint32_t> a = files.CreateFileW(
      path, platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS);
  Result<platform::Handle, std::uint32_t> b = files.CreateFileW(
      path, platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  platform::UniqueHandle first(files, a.value());
  platform::UniqueHandle second(files, b.value());
  // While open for append, the file can still be read by others (share mode).
  EXPECT_EQ(read(root_ / "shared.log"), "old|");

  struct Step {
    platform::Handle file;
    std::string_view bytes;
  };
  for (const Step& step : {Step{first.get(), "a1|"}, Step{second.get(), "b1|"}, Step{first.get(), "a2"}}) {
    Result<std::size_t, platform::WriteFailure> written = files.NtWriteFile(step.file, step.bytes);
    ASSERT_TRUE(written);
    EXPECT_EQ(written.value(), step.bytes.size());
  }
  EXPECT_EQ(read(root_ / "shared.log"), "old|a1|b1|a2");
}

TEST_F(RealFiles, OpenCreatesAMissingFileEmptyAndFailsOnAFolder) {
  const fs::path path = root_ / "new.log";
  Result<platform::Handle, std::uint32_t> opened = files.CreateFileW(
      u16(path), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_TRUE(opened);
  platform::UniqueHandle file(files, opened.value());
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);

  Result<platform::Handle, std::uint32_t> on_folder = files.CreateFileW(
      u16(root_), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_FALSE(on_folder);
  EXPECT_NE(on_folder.error(), 0u);

  Result<platform::Handle, std::uint32_t> no_parent =
      files.CreateFileW(u16(root_ / "missing" / "x.log"), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                        platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_FALSE(no_parent);
  EXPECT_EQ(no_parent.error(), platform::CODE_PATH_NOT_FOUND);
}

TEST_F(RealFiles, WriteErrorIsASystemErrorCodeNotAStatus) {
  Result<platform::Handle, std::uint32_t> opened =
      files.CreateFileW(u16(root_ / "x.log"), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                        platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_TRUE(opened);
  files.CloseHandle(opened.value());
  // A handle no longer open: ntdll says STATUS_INVALID_HANDLE (0xC0000008), Win32 says 6.
  Result<std::size_t, platform::WriteFailure> written = files.NtWriteFile(opened.value(), "x");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error(), (platform::WriteFailure{6, false}));  // ERROR_INVALID_HANDLE
  EXPECT_EQ(fs::file_size(root_ / "x.log"), 0u);
}

TEST_F(RealFiles, FolderTestFollowsLinks) {
  fs::create_directories(root_ / "target");
  write_file(root_ / "file", "x");
  // Not every system lets a plain user make links (Windows without developer mode).
  auto link = [&](const char* name, const char* target, DWORD flags) {
    const fs::path at = root_ / name;
    return ::CreateSymbolicLinkW(at.c_str(), (root_ / target).c_str(),
                                 flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
  };
  if (!link("to-folder", "target", SYMBOLIC_LINK_FLAG_DIRECTORY)) GTEST_SKIP() << "no links: " << ::GetLastError();
  ASSERT_TRUE(link("to-file", "file", 0));
  ASSERT_TRUE(link("dangling", "gone", SYMBOLIC_LINK_FLAG_DIRECTORY));
  // Wine 8 makes links that its own calls do not follow; only a system that follows them can
  // tell whether we do.
  write_file(root_ / "to-folder" / "probe", "x");
  if (!fs::exists(root_ / "target" / "probe")) GTEST_SKIP() << "this system does not follow its links";
  // The link's own attributes say "reparse point"; what counts is the target.
  ASSERT_NE(::GetFileAttributesW((root_ / "to-folder").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

  EXPECT_TRUE(files.is_folder(u16(root_ / "to-folder")));
  EXPECT_FALSE(files.is_folder(u16(root_ / "to-file")));
  EXPECT_FALSE(files.is_folder(u16(root_ / "dangling")));
}

TEST_F(RealFiles, CloseKeepsTheCallersLastError) {
  Result<platform::Handle, std::uint32_t> opened =
      files.CreateFileW(u16(root_ / "x.log"), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                        platform::DISPOSITION_OPEN_ALWAYS);
  ASSERT_TRUE(opened);
  ::SetLastError(1234);
  files.CloseHandle(opened.value());
  EXPECT_EQ(::GetLastError(), 1234u);
}

TEST_F(RealFiles, ClockCountsFrom1601) {
  const std::int64_t first = files.GetSystemTimePreciseAsFileTime();
  const std::int64_t second = files.GetSystemTimePreciseAsFileTime();
  EXPECT_GT(first, 132223104000000000);  // after 2020-01-01
  EXPECT_LE(first, second);
  EXPECT_EQ(format_timestamp(first).substr(0, 2), "20");
}

class RealServiceLog : public RealFiles {
 protected:
  ServiceLog log{win32_files()};
};

TEST_F(RealServiceLog, FirstLineMakesTheMissingFoldersAndTheFile) {
  const fs::path base = root_ / "missing";
  ScopedEnvironment program_data(L"ProgramData", base.wstring());
  const std::int64_t before = files.GetSystemTimePreciseAsFileTime();
  ASSERT_TRUE(log.write_line("service starting"));
  const std::int64_t after = files.GetSystemTimePreciseAsFileTime();

  const fs::path file = base / "Quolin" / "service.log";
  ASSERT_TRUE(fs::is_regular_file(file));
  expect_one_line(read(file), before, after, "service starting");
}

TEST_F(RealServiceLog, AppendsAfterExistingContentWithLineFeedsOnlyAndMessageBytesUnchanged) {
  ScopedEnvironment program_data(L"ProgramData", root_.wstring() + L"\\");  // trailing separator
  fs::create_directories(root_ / "Quolin");
  const fs::path file = root_ / "Quolin" / "service.log";
  write_file(file, "kept\r\n");

  const std::string dash = "no active user session at start \xE2\x80\x94 waiting for logon";
  ASSERT_TRUE(log.write_line(dash));
  ASSERT_TRUE(log.write_line(""));
  ASSERT_TRUE(log.write_line("two\nlines"));

  const std::string content = read(file);
  ASSERT_EQ(content.substr(0, 6), "kept\r\n");
  const std::string written = content.substr(6);
  EXPECT_EQ(written.find('\r'), std::string::npos);
  // Three calls, four LFs (one inside the last message).
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 4);
  EXPECT_NE(written.find(std::string(LOG_TAG) + dash + "\n"), std::string::npos);
  EXPECT_NE(written.find("UTC [quolin-service] \n"), std::string::npos);
  EXPECT_NE(written.find(std::string(LOG_TAG) + "two\nlines\n"), std::string::npos);
  EXPECT_LT(written.find(dash), written.find("two\nlines"));
}

TEST_F(RealServiceLog, DeletedFileAndFolderAreMadeAgain) {
  ScopedEnvironment program_data(L"ProgramData", root_.wstring());
  const fs::path file = root_ / "Quolin" / "service.log";
  ASSERT_TRUE(log.write_line("one"));
  fs::remove(file);
  ASSERT_TRUE(log.write_line("two"));
  std::string content = read(file);
  EXPECT_EQ(content.substr(content.size() - 4), "two\n");
  EXPECT_EQ(content.find("one"), std::string::npos);

  fs::remove_all(root_ / "Quolin");
  ASSERT_TRUE(log.write_line("three"));
  content = read(file);
  EXPECT_EQ(content.find("two"), std::string::npos);
  EXPECT_EQ(content.substr(content.size() - 6), "three\n");
}

TEST_F(RealServiceLog, LogFolderThatIsAFileFailsAndNothingIsWritten) {
  ScopedEnvironment program_data(L"ProgramData", root_.wstring());
  write_file(root_ / "Quolin", "a file");
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error() == LogError::os(183) || result.error() == LogError::os(80)) << result.error().text();
  EXPECT_EQ(read(root_ / "Quolin"), "a file");
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);  // nothing else made
}

TEST_F(RealServiceLog, LogFilePathThatIsAFolderFailsAtTheOpen) {
  ScopedEnvironment program_data(L"ProgramData", root_.wstring());
  fs::create_directories(root_ / "Quolin" / "service.log");
  Status<LogError> result = log.write_line("x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, LogError::Kind::Os);
  EXPECT_NE(result.error().code, 0u);
  EXPECT_TRUE(fs::is_empty(root_ / "Quolin" / "service.log"));
}

TEST_F(RealServiceLog, EmptyProgramDataWritesUnderTheCurrentFolder) {
  const fs::path previous = fs::current_path();
  fs::current_path(root_);
  {
    ScopedEnvironment program_data(L"ProgramData", L"");
    ASSERT_EQ(files.GetEnvironmentVariableW(u"ProgramData"), std::u16string());  // empty, not absent
    Status<LogError> result = log.write_line("relative");
    fs::current_path(previous);
    ASSERT_TRUE(result) << result.error().text();
  }
  const std::string content = read(root_ / "Quolin" / "service.log");
  EXPECT_EQ(content.substr(content.size() - 9), "relative\n");
}

}  // namespace
}  // namespace quolin
