#include "service/dispatcher.h"

#include <gtest/gtest.h>

#include "fakes/fake_service_control.h"

namespace quolin {
namespace {

void service_main_stub(std::uint32_t, char16_t**) {}

TEST(ProgramEntry, NormalRunExitsZeroAndWritesNothing) {
  fakes::FakeServiceControl scm;
  EntryResult r = program_entry(scm, &service_main_stub);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.error_output, "");
  EXPECT_EQ(scm.calls, std::vector<std::string>{"StartServiceCtrlDispatcherW"});
  // The table names the service with a NUL-terminated string and hands over the service main.
  EXPECT_EQ(scm.dispatcher_name, u"QuolinHost");
  EXPECT_EQ(scm.dispatcher_main, &service_main_stub);
}

TEST(ProgramEntry, DispatcherFailureGivesOneErrorLineAndStatusOne) {
  struct Case {
    std::uint32_t code;
    std::u16string message;
    std::string line;
  };
  const Case cases[] = {
      {1063, u"The service process could not connect to the service controller.\r\n",
       "Error: Winapi(Os { code: 1063, kind: Uncategorized, message: \"The service process could "
       "not connect to the service controller.\" })\n"},
      {1056, u"An instance of the service is already running.\r\n",
       "Error: Winapi(Os { code: 1056, kind: Uncategorized, message: \"An instance of the service "
       "is already running.\" })\n"},
      {13, u"Say \"no\"\\\t.\r\n",
       "Error: Winapi(Os { code: 13, kind: Uncategorized, message: \"Say \\\"no\\\"\\\\\\t.\" })\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    fakes::FakeServiceControl scm;
    scm.dispatcher_succeeds = false;
    scm.dispatcher_error = c.code;
    scm.format_text = c.message;
    EntryResult r = program_entry(scm, &service_main_stub);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.error_output, c.line);
    // The dispatcher's error is read before FormatMessageW can change it.
    ASSERT_GE(scm.calls.size(), 2u);
    EXPECT_EQ(scm.calls[1], "GetLastError");
  }
}

TEST(ProgramEntry, DispatcherErrorIsReadRightAfterTheCall) {
  fakes::FakeServiceControl scm;
  scm.dispatcher_succeeds = false;
  scm.dispatcher_error = 1063;
  Status<ServiceError> r = run_dispatcher(scm, &service_main_stub);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ServiceError::winapi(1063));
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"StartServiceCtrlDispatcherW", "GetLastError"}));
}

}  // namespace
}  // namespace quolin
