#include "launcher/system_error_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fakes/fake_processes.h"

namespace quolin {
namespace {

using fakes::Calls;
using fakes::FakeProcesses;

TEST(SystemErrorText, ShowsWin32CodesAsHresultsWithTheSystemMessage) {
  struct Case {
    std::uint32_t error;
    std::uint32_t message_id;
    std::string text;
  };
  const Case cases[] = {
      {0, 0x00000000, "M (0x00000000)"},           // success stays 0
      {5, 0x80070005, "M (0x80070005)"},
      {1008, 0x800703F0, "M (0x800703F0)"},
      {0x12345, 0x80072345, "M (0x80072345)"},     // only the low 16 bits survive
      {0x8007000E, 0x8007000E, "M (0x8007000E)"},  // already an HRESULT
      {0xC0000005, 0xC0000005, "M (0xC0000005)"},  // negative, without the NT bit
      {0x80004005, 0x80004005, "M (0x80004005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeProcesses api;
    api.set_system_message(c.message_id, u"M");

    EXPECT_EQ(system_error_text(api, c.error), c.text);
    ASSERT_FALSE(api.calls.empty());
    char expected[80];
    std::snprintf(expected, sizeof expected, "FormatMessageW(0x1300, null, 0x%X, 0, 0, null)",
                  static_cast<unsigned>(c.message_id));
    EXPECT_EQ(api.calls, (Calls{expected, "LocalFree(message1)"}));
  }
}

TEST(SystemErrorText, NtStatusTakesItsMessageFromNtdll) {
  FakeProcesses api;
  api.set_module_message("ntdll.dll", 0xC0000022, u"{Access Denied}\r\n");

  EXPECT_EQ(system_error_text(api, 0xD0000022), "{Access Denied} (0xD0000022)");
  EXPECT_EQ(api.calls, (Calls{"LoadLibraryExA(ntdll.dll, null, 0x1000)",
                              "FormatMessageW(0x1B00, ntdll.dll, 0xC0000022, 0, 0, null)", "LocalFree(message1)"}));
}

TEST(SystemErrorText, WithoutAMessageTheHexFormStandsAlone) {
  FakeProcesses api;

  EXPECT_EQ(system_error_text(api, 2), "0x80070002");
  EXPECT_EQ(system_error_text(api, 0xD0000022), "0xD0000022");
  // Nothing was allocated, so nothing is freed.
  for (const std::string& call : api.calls) EXPECT_EQ(call.find("LocalFree"), std::string::npos) << call;
}

TEST(SystemErrorText, TrailingWhiteSpaceGoesAndEverythingElseStays) {
  struct Case {
    std::u16string message;
    std::string text;
  };
  const Case cases[] = {
      {u"Access is denied.\r\n", "Access is denied. (0x80070005)"},
      {u"Access is denied.   ", "Access is denied. (0x80070005)"},
      {u"Access is denied.\t\n\v\f\r \r\n", "Access is denied. (0x80070005)"},
      {u"  Two\r\nlines.\r\n", "  Two\r\nlines. (0x80070005)"},
      {u"\r\n \t", "0x80070005"},  // nothing visible is left: the hex form alone
      {u"Acc\u00e8s refus\u00e9.\r\n", "Acc\u00e8s refus\u00e9. (0x80070005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeProcesses api;
    api.set_system_message(0x80070005, c.message);

    EXPECT_EQ(system_error_text(api, 5), c.text);
    EXPECT_EQ(api.closes("message1"), 1);
    EXPECT_TRUE(api.open_objects().empty());
  }
}

TEST(SystemErrorText, UnpairedSurrogatesBecomeReplacementCharacters) {
  FakeProcesses api;
  std::u16string message = u"bad ";
  message.push_back(static_cast<char16_t>(0xD83D));
  message += u" end";
  message.push_back(static_cast<char16_t>(0xDE00));
  message += u"\r\n";
  api.set_system_message(0x80070005, message);

  EXPECT_EQ(system_error_text(api, 5), "bad \xEF\xBF\xBD end\xEF\xBF\xBD (0x80070005)");
  EXPECT_TRUE(api.open_objects().empty());
}

}  // namespace
}  // namespace quolin
