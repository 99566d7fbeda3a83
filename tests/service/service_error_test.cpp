#include "service/service_error.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/dispatcher.h"
#include "service/support.h"

namespace quolin {
namespace {

using fakes::FakeServiceControl;

// A winapi error's text and exit code show in the run loop's error exits.
TEST(ServiceError, ANulByteInANameExitsWithInvalidNameAndNamesTheArgument) {
  const ServiceError nul = ServiceError::argument_has_nul_byte("service name");
  EXPECT_EQ(nul.text(), "service name contains a nul byte");
  EXPECT_EQ(nul.win32_exit_code(), 123u);  // ERROR_INVALID_NAME
  FakeServiceControl scm;
  EXPECT_EQ(diagnostic_form(nul, scm), "ArgumentHasNulByte(\"service name\")");
  EXPECT_TRUE(scm.format_calls.empty());
}

// A dispatcher that fails (a start from a console: 1063) ends the program with status 1 and its
// diagnostic form on one line; one that ran ends it with 0 and nothing written.
TEST(DiagnosticForm, NamesCodeAndKindAndQuotesTheTrimmedSystemMessageInTheProgramsErrorLine) {
  const std::pair<std::uint32_t, std::string> kinds[] = {
      {1063, "Uncategorized"}, {2, "NotFound"},         {5, "PermissionDenied"},
      {183, "AlreadyExists"},  {123, "InvalidFilename"}};
  auto service_main = [](std::uint32_t, char16_t**) {};
  for (const auto& [code, kind] : kinds) {
    FakeServiceControl scm;
    scm.format_text = u"A \"quoted\" C:\\path\tand\r\nmore.\r\n \t\f";
    scm.dispatcher_error = code;
    const EntryResult entry = program_entry(scm, service_main);
    EXPECT_EQ(entry.exit_status, 1);
    EXPECT_EQ(entry.error_output,
              "Error: Winapi(Os { code: " + std::to_string(code) + ", kind: " + kind +
                  ", message: \"A \\\"quoted\\\" C:\\\\path\\tand\\r\\nmore.\" })\n");
    EXPECT_EQ(scm.format_calls, (std::vector{std::pair(0x1200u, code)}));  // from the system, "%1" left as it is
  }
  FakeServiceControl scm;
  const EntryResult ran = program_entry(scm, service_main);
  EXPECT_EQ(std::pair(ran.exit_status, ran.error_output), std::pair(0, std::string()));
  EXPECT_EQ(scm.dispatcher_main, +service_main);
}

}  // namespace
}  // namespace quolin
