// The files group's real Win32 calls, on which the service log's decisions rest (run under
// Wine). The log's own lines, folders and the file in the way are proven end to end.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "log/log_safety.h"
#include "platform/files.h"
#include "platform/windows_headers.h"

namespace quolin {
namespace {

namespace fs = std::filesystem;

class RealFiles : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(root);
    fs::create_directories(root);
    std::ofstream(root / "shared.log", std::ios::binary) << "old|";
  }
  void TearDown() override { fs::remove_all(root); }

  platform::SysResult<platform::UniqueHandle> open(const fs::path& path) {
    return files.CreateFileW(path.u16string(), platform::FILE_APPEND_ONLY_ACCESS, platform::FILE_SHARE_ALL,
                             platform::DISPOSITION_OPEN_ALWAYS, platform::FLAG_OPEN_REPARSE_POINT);
  }

  platform::Files& files = platform::win32_files();
  const fs::path root = fs::temp_directory_path() / ("quolin-log-" + std::to_string(::GetCurrentProcessId()));
};

TEST_F(RealFiles, EveryAppendLandsAtTheEndWhateverTheOtherWritersDid) {
  platform::SysResult<platform::UniqueHandle> a = open(root / "shared.log");
  platform::SysResult<platform::UniqueHandle> b = open(root / "shared.log");
  ASSERT_TRUE(a && b);
  platform::UniqueHandle first = std::move(a.value());
  platform::UniqueHandle second = std::move(b.value());
  for (auto [file, bytes] : {std::pair{first.get(), "a1|"}, {second.get(), "b1|"}, {first.get(), "a2"}}) {
    platform::SysResult<std::size_t> written = files.NtWriteFile(file, bytes);
    ASSERT_TRUE(written);
    EXPECT_EQ(written.value(), std::string(bytes).size());
  }
  std::ifstream in(root / "shared.log", std::ios::binary);  // readable by others while open
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old|a1|b1|a2");
}

TEST_F(RealFiles, FailuresComeAsTheCodesTheLogLooksFor) {
  auto make = [&](const fs::path& path) {
    platform::SysStatus made = files.CreateDirectoryW(path.u16string());
    return made ? 0u : made.error().code();
  };
  EXPECT_EQ(make(root), platform::CODE_ALREADY_EXISTS);
  EXPECT_EQ(make(root / "shared.log"), platform::CODE_ALREADY_EXISTS);
  EXPECT_EQ(make(root / "missing" / "child"), platform::CODE_PATH_NOT_FOUND);
  platform::SysResult<platform::UniqueHandle> no_parent = open(root / "missing" / "x.log");
  ASSERT_FALSE(no_parent);
  EXPECT_EQ(no_parent.error().code(), platform::CODE_PATH_NOT_FOUND);
  // A folder where the log should be cannot be opened as a file: the log then asks the path.
  platform::SysResult<platform::UniqueHandle> folder = open(root);
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().code(), platform::CODE_ACCESS_DENIED);
  EXPECT_EQ(files.GetFileAttributesW((root / "missing").u16string()).error().code(), platform::CODE_FILE_NOT_FOUND);
  // Moving aside renames what the handle opened, and never replaces what already has the name.
  ASSERT_TRUE(files.CreateDirectoryW((root / "aside").u16string(), log_folder_sddl()));  // the parser takes ours
  platform::SysResult<platform::UniqueHandle> held =
      files.CreateFileW((root / "shared.log").u16string(), platform::ACCESS_READ_ATTRIBUTES | platform::ACCESS_DELETE,
                        platform::FILE_SHARE_ALL, platform::DISPOSITION_OPEN_EXISTING, platform::FLAG_OPEN_REPARSE_POINT);
  ASSERT_TRUE(held);
  platform::SysStatus moved = files.SetFileInformationByHandle(held.value().get(), (root / "aside").u16string());
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().code(), platform::CODE_ALREADY_EXISTS);
  EXPECT_TRUE(files.SetFileInformationByHandle(held.value().get(), (root / "aside-2").u16string()));
  held.value().reset();
  std::ifstream moved_file(root / "aside-2", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved_file), {}), "old|");

  // A write through a closed handle: the system error code (6), not ntdll's status.
  platform::SysResult<platform::UniqueHandle> opened = open(root / "x.log");
  ASSERT_TRUE(opened);
  platform::Handle closed = opened.value().get();
  opened.value().reset();
  platform::SysResult<std::size_t> written = files.NtWriteFile(closed, "x");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code(), 6u);
}

}  // namespace
}  // namespace quolin
