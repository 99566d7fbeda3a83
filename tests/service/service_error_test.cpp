#include "service/service_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/printers.h"

namespace quolin {
namespace {

using fakes::FakeServiceControl;

TEST(ServiceError, TextsAreByteExact) {
  EXPECT_EQ(ServiceError::winapi(1063).text(), "IO error in winapi call");
  EXPECT_EQ(ServiceError::winapi(0).text(), "IO error in winapi call");
  EXPECT_EQ(ServiceError::argument_has_nul_byte("service name").text(),
            "service name contains a nul byte");
}

TEST(ServiceError, Win32ExitCodeIsTheSystemCodeOrInvalidName) {
  EXPECT_EQ(ServiceError::winapi(1063).win32_exit_code(), 1063u);
  EXPECT_EQ(ServiceError::winapi(6).win32_exit_code(), 6u);
  EXPECT_EQ(ServiceError::argument_has_nul_byte("service name").win32_exit_code(), 123u);
}

TEST(ErrorCategory, GroupsCodesLikeTheUsualIoErrorKinds) {
  struct Case {
    std::uint32_t code;
    const char* category;
  };
  constexpr Case cases[] = {
      {1063, "Uncategorized"}, {13, "Uncategorized"},    {1056, "Uncategorized"},
      {0, "Uncategorized"},    {0xFFFFFFFF, "Uncategorized"}, {2, "NotFound"},
      {3, "NotFound"},         {5, "PermissionDenied"},  {183, "AlreadyExists"},
      {80, "AlreadyExists"},   {6, "InvalidInput"},      {87, "InvalidInput"},
      {8, "OutOfMemory"},      {109, "BrokenPipe"},      {258, "TimedOut"},
      {120, "Unsupported"},    {123, "InvalidFilename"}, {112, "StorageFull"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(error_category(c.code), c.category);
  }
}

TEST(DiagnosticForm, QuotesTheTrimmedSystemMessageWithEscapes) {
  FakeServiceControl scm;
  scm.format_text = u"A \"quoted\" C:\\path\tand\r\nmore.\r\n \t\f";
  EXPECT_EQ(diagnostic_form(ServiceError::winapi(1063), scm),
            "Winapi(Os { code: 1063, kind: Uncategorized, message: "
            "\"A \\\"quoted\\\" C:\\\\path\\tand\\r\\nmore.\" })");
  ASSERT_EQ(scm.format_calls.size(), 1u);
  EXPECT_EQ(scm.format_calls[0].flags, 0x1200u);  // FROM_SYSTEM | IGNORE_INSERTS
  EXPECT_EQ(scm.format_calls[0].message_id, 1063u);
  EXPECT_EQ(scm.format_calls[0].language_id, 0u);
  EXPECT_EQ(scm.format_calls[0].size, 2048u);
}

TEST(DiagnosticForm, NamesTheCategoryOfTheCode) {
  FakeServiceControl scm;
  scm.format_text = u"Access denied.\r\n";
  EXPECT_EQ(diagnostic_form(ServiceError::winapi(5), scm),
            "Winapi(Os { code: 5, kind: PermissionDenied, message: \"Access denied.\" })");
}

TEST(SystemMessageText, RemovesOnlyTrailingTabLineFeedFormFeedCarriageReturnAndSpace) {
  struct Case {
    std::u16string units;
    std::string text;
  };
  const Case cases[] = {
      {u"Done.\r\n", "Done."},
      {u"  Lead stays.\t \f\r\n", "  Lead stays."},
      {u"Vertical tab stays.\v\r\n", "Vertical tab stays.\v"},
      {u"No-break space stays.\u00A0\r\n", "No-break space stays.\xC2\xA0"},
      {u"\r\n", ""},
      {u"Zugriff verweigert \u2013 \u00FC.", "Zugriff verweigert \xE2\x80\x93 \xC3\xBC."},
      {u"Smile \U0001F600", "Smile \xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeServiceControl scm;
    scm.format_text = c.units;
    EXPECT_EQ(system_message_text(scm, 1), c.text);
  }
}

TEST(SystemMessageText, FallsBackWhenFormatMessageFails) {
  FakeServiceControl scm;
  scm.format_text = std::nullopt;
  scm.format_error = 1813;
  EXPECT_EQ(diagnostic_form(ServiceError::winapi(1063), scm),
            "Winapi(Os { code: 1063, kind: Uncategorized, message: "
            "\"OS Error 1063 (FormatMessageW() returned error 1813)\" })");
  // The error is read right after the failed call.
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"FormatMessageW", "GetLastError"}));
}

TEST(SystemMessageText, FallsBackOnInvalidUtf16) {
  const std::u16string bad[] = {
      std::u16string(u"lone high ") + char16_t(0xD800) + u" here",
      std::u16string(u"ends in high ") + char16_t(0xDBFF),
      std::u16string(u"lone low ") + char16_t(0xDC00),
      std::u16string(1, char16_t(0xDFFF)) + char16_t(0xD800),
  };
  for (const std::u16string& units : bad) {
    FakeServiceControl scm;
    scm.format_text = units;
    EXPECT_EQ(system_message_text(scm, 13), "OS Error 13 (FormatMessageW() returned invalid UTF-16)");
  }
}

TEST(SystemMessageText, NeverReadsPastTheBuffer) {
  FakeServiceControl scm;
  scm.format_text = std::u16string(3000, u'x');
  scm.format_count = 5000;  // a count larger than the buffer it was given
  EXPECT_EQ(system_message_text(scm, 1), std::string(2048, 'x'));
}

TEST(DiagnosticForm, ArgumentHasNulByteNamesTheArgumentWithoutAskingTheSystem) {
  FakeServiceControl scm;
  EXPECT_EQ(diagnostic_form(ServiceError::argument_has_nul_byte("service name"), scm),
            "ArgumentHasNulByte(\"service name\")");
  EXPECT_TRUE(scm.calls.empty());
}

}  // namespace
}  // namespace quolin
