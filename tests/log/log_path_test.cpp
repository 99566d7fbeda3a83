#include "log/log_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/text.h"

namespace quolin {
namespace {

std::string shown(std::u16string_view s) { return platform::utf8_from_utf16_lossy(s); }

TEST(LogFilePath, FromTheValueOfProgramData) {
  struct Case {
    std::optional<std::u16string> base;
    std::u16string path;
  };
  const Case cases[] = {
      {std::nullopt, u"C:\\ProgramData\\Quolin\\service.log"},
      {u"C:\\ProgramData", u"C:\\ProgramData\\Quolin\\service.log"},
      {u"C:\\ProgramData\\", u"C:\\ProgramData\\Quolin\\service.log"},  // no doubled separator
      {u"C:/ProgramData/", u"C:/ProgramData/Quolin\\service.log"},      // a slash counts too
      {u"", u"Quolin\\service.log"},                                    // relative
      {u"C:\\users\\Public", u"C:\\users\\Public\\Quolin\\service.log"},
      {u"\\\\server\\share", u"\\\\server\\share\\Quolin\\service.log"},
      {u"C:", u"C:\\Quolin\\service.log"},
      {u"D:\\Donn\u00e9es \U0001F600", u"D:\\Donn\u00e9es \U0001F600\\Quolin\\service.log"},
      {u"C:\\ProgramData\\\\", u"C:\\ProgramData\\\\Quolin\\service.log"},  // only the join adds nothing
      // A lone surrogate cannot be read as text: the same as an absent variable.
      {std::u16string{u'C', u':', u'\\', char16_t(0xD800)}, u"C:\\ProgramData\\Quolin\\service.log"},
      {std::u16string{u'C', u':', u'\\', char16_t(0xDC00), u'y'}, u"C:\\ProgramData\\Quolin\\service.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.base ? shown(*c.base) : std::string("(absent)"));
    EXPECT_EQ(log_file_path(c.base), c.path);
  }
}

TEST(JoinPath, OneBackslashUnlessTheLeftIsEmptyOrEndsInASeparator) {
  EXPECT_EQ(join_path(u"a", u"b"), u"a\\b");
  EXPECT_EQ(join_path(u"a\\", u"b"), u"a\\b");
  EXPECT_EQ(join_path(u"a/", u"b"), u"a/b");
  EXPECT_EQ(join_path(u"", u"b"), u"b");
  EXPECT_EQ(join_path(u"a", u"\\b"), u"a\\\\b");  // the right part is appended unchanged
}

TEST(ParentFolder, DropsTheLastComponentButNeverARoot) {
  struct Case {
    std::u16string_view path;
    std::u16string_view parent;
  };
  constexpr Case cases[] = {
      {u"C:\\ProgramData\\Quolin\\service.log", u"C:\\ProgramData\\Quolin"},
      {u"C:\\ProgramData\\Quolin", u"C:\\ProgramData"},
      {u"C:\\ProgramData", u"C:\\"},
      {u"C:\\ProgramData\\\\Quolin\\", u"C:\\ProgramData"},
      {u"C:/a/b", u"C:/a"},
      {u"C:\\", u""},
      {u"C:", u""},
      {u"C:x", u"C:"},
      {u"Quolin\\service.log", u"Quolin"},
      {u"Quolin", u""},
      {u"", u""},
      {u"\\Quolin", u"\\"},
      {u"\\\\server\\share\\Quolin", u"\\\\server\\share\\"},
      {u"\\\\server\\share", u""},
      {u"\\\\?\\C:\\Quolin", u"\\\\?\\C:\\"},
      {u"\\\\?\\UNC\\server\\share\\Quolin", u"\\\\?\\UNC\\server\\share\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(shown(c.path));
    EXPECT_EQ(parent_folder(c.path), c.parent);
  }
}

TEST(IsBareRoot, OnlyARootWithNothingAfterIt) {
  for (std::u16string_view root : {u"C:", u"C:\\", u"c:/", u"\\", u"/", u"\\\\server\\share", u"\\\\server\\share\\",
                                   u"\\\\?\\C:\\", u"\\\\?\\UNC\\server\\share\\"}) {
    SCOPED_TRACE(shown(root));
    EXPECT_TRUE(is_bare_root(root));
  }
  for (std::u16string_view path : {u"", u"Quolin", u"C:\\ProgramData", u"C:x", u"\\Quolin",
                                   u"\\\\server\\share\\Quolin", u"\\\\?\\C:\\Quolin"}) {
    SCOPED_TRACE(shown(path));
    EXPECT_FALSE(is_bare_root(path));
  }
}

}  // namespace
}  // namespace quolin
