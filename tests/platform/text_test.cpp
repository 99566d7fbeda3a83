#include "platform/text.h"

#include <gtest/gtest.h>

namespace quolin::platform {
namespace {

TEST(Text, LossyConversionReplacesEachUnpairedSurrogate) {
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"", ""},
      {u"C:\\Apps\\svc.exe", "C:\\Apps\\svc.exe"},
      {u"\u2014", "\xE2\x80\x94"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string{u'a', char16_t(0xD800), u'b'}, "a\xEF\xBF\xBD" "b"},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::u16string{u'x', char16_t(0xDBFF)}, "x\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(utf8_from_utf16_lossy(c.in), c.out);
  }
}

TEST(Text, Wtf8RoundTripKeepsEveryUnitIncludingLoneSurrogates) {
  const std::u16string cases[] = {
      u"",
      u"C:\\Program Files\\Quolin\\quolin-service.exe",
      std::u16string{u'C', u':', u'\\', char16_t(0xD834), u'\\', u's'},
      std::u16string{char16_t(0xDC00)},
      std::u16string{char16_t(0xD83D), char16_t(0xDE00), char16_t(0xDE00)},
      std::u16string{char16_t(0xDBFF), char16_t(0xDBFF), char16_t(0xDFFF)},
  };
  for (const std::u16string& units : cases) {
    EXPECT_EQ(utf16_from_wtf8(wtf8_from_utf16(units)), units);
  }
  // Every single unit survives.
  for (char32_t u = 0; u <= 0xFFFF; ++u) {
    std::u16string one(1, static_cast<char16_t>(u));
    ASSERT_EQ(utf16_from_wtf8(wtf8_from_utf16(one)), one) << static_cast<unsigned>(u);
  }
}

TEST(Text, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16_from_wtf8("a\xFF" "b"), (std::u16string{u'a', char16_t(0xFFFD), u'b'}));
  EXPECT_EQ(utf16_from_wtf8("\xC0\x80"), std::u16string(1, char16_t(0xFFFD)));  // overlong NUL
  EXPECT_EQ(utf16_from_wtf8("\xE2\x80"), (std::u16string{char16_t(0xFFFD), char16_t(0xFFFD)}));
}

}  // namespace
}  // namespace quolin::platform
