#include "service/wide_name.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "service/printers.h"

namespace quolin {
namespace {

using namespace std::string_view_literals;

TEST(ToWideName, EncodesAsUtf16AndAppendsOneNul) {
  struct Case {
    std::string_view text;
    std::u16string units;
  };
  const Case cases[] = {
      {"abc", {0x61, 0x62, 0x63, 0}},
      {"abc\0"sv, {0x61, 0x62, 0x63, 0}},  // its only NUL is the last unit: used as it is
      {"", {0}},
      {"\0"sv, {0}},
      {"QuolinHost", std::u16string(u"QuolinHost", 11)},  // the literal and its NUL
      {"\xC3\xA9t\xC3\xA9", {0xE9, 0x74, 0xE9, 0}},
      {"Q\xF0\x9F\x98\x80", {0x51, 0xD83D, 0xDE00, 0}},  // above U+FFFF: a surrogate pair
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    auto r = to_wide_name(c.text);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value(), c.units);
  }
}

TEST(ToWideName, RefusesANulBeforeTheEnd) {
  for (std::string_view text : {"a\0bc"sv, "\0abc"sv, "abc\0\0"sv, "\0\0"sv, "Quolin\0Host\0"sv}) {
    SCOPED_TRACE(std::string(text));
    auto r = to_wide_name(text);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ServiceError::argument_has_nul_byte("service name"));
  }
}

}  // namespace
}  // namespace quolin
