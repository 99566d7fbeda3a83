// The service's control table and handler registration, its errors and their diagnostic form,
// and its status reports, against FakeServiceControl.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/control_handler.h"
#include "service/dispatcher.h"
#include "service/service_error.h"
#include "service/service_status.h"
#include "service/support.h"

namespace quolin {
namespace {

using namespace std::string_view_literals;
using fakes::FakeServiceControl;

TEST(TranslateControl, FollowsTheDecisionTable) {
  struct Row {
    std::uint32_t control, event_type, reply;
    std::optional<ControlMessage> message;
    bool give_up;
  };
  const auto stop = ControlMessage::stop();
  std::vector<Row> rows = {
      {1, 0, 0, stop, true},   {1, 5, 0, stop, true},      {4, 0, 0, {}, false},
      {5, 0, 120, {}, true},   {15, 3, 120, {}, true},     {2, 0, 120, {}, false},
      {13, 5, 120, {}, false}, {0x1000E, 5, 120, {}, false}, {0x10001, 0, 120, {}, false},
      {14, 0, 120, {}, false}, {14, 12, 120, {}, false},   {14, 0x10005, 120, {}, false}};
  const char* reasons[] = {"ConsoleConnect", "ConsoleDisconnect", "RemoteConnect",
                           "RemoteDisconnect", "SessionLogon", "SessionLogoff", "SessionLock",
                           "SessionUnlock", "SessionRemoteControl", "SessionCreate",
                           "SessionTerminate"};
  for (std::uint32_t e = 1; e <= 11; ++e) {
    rows.push_back({14, e, 0, ControlMessage::session_change(reasons[e - 1], 77), false});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.control) + "/" + std::to_string(r.event_type));
    ControlDecision d = translate_control(r.control, r.event_type, 77);
    EXPECT_EQ(d.reply, r.reply);
    EXPECT_EQ(d.message, r.message);
    EXPECT_EQ(d.give_up_sender, r.give_up);
  }
}

// How the registered handler routes the system's calls is seen in the run loop's tests, and
// how a name becomes the system's (a trailing NUL allowed) in wide_name_fuzz.
TEST(RegisterControlHandler, FailureDisconnectsTheChannel) {
  const ServiceError nul = ServiceError::argument_has_nul_byte("service name");
  for (auto [name, error] : {std::pair{"QuolinHost"sv, ServiceError::winapi(1060)},
                             {"Quolin\0Host"sv, nul}, {"QuolinHost\0\0"sv, nul}}) {
    FakeServiceControl scm;
    scm.fail_registration = 1060;
    auto [sender, receiver] = make_control_channel();
    auto handle = register_control_handler(scm, name, std::move(sender));
    EXPECT_EQ(handle ? std::nullopt : std::optional(handle.error()), error);
    EXPECT_EQ(!scm.registered_name.empty(), error != nul);  // a NUL never reaches the system
    EXPECT_EQ(drain(receiver), std::pair(std::vector<ControlMessage>{}, ReceiveError::Disconnected));
  }
}

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

ServiceStatus stop_pending(Duration wait_hint) { return {0x10, 3, 0, {}, 2, wait_hint}; }

TEST(SetServiceStatus, HandsTheTranslatedReportToTheSystemAndCarriesItsFailure) {
  std::vector<std::string> journal;  // every field of each report
  FakeServiceControl scm(&journal);
  auto* handle = reinterpret_cast<platform::ServiceStatusHandle>(0x77);
  ServiceStatus report = stop_pending(Duration::from_millis(500));
  report.exit_code = ServiceExitCode::service_specific(7);
  ASSERT_TRUE(set_service_status(scm, handle, report));
  EXPECT_EQ(scm.status_handles, std::vector{handle});
  EXPECT_EQ(journal, std::vector<std::string>{"report STOP_PENDING accepted=0 exit=1066 specific=7 checkpoint=2 "
                                              "hint=500 type=16"});  // the code behind 1066
  scm.fail_report_at = 2;
  EXPECT_EQ(set_service_status(scm, handle, report).error(), ServiceError::winapi(6));
  // A wait hint no report can carry is refused as the system would, without a call.
  EXPECT_EQ(set_service_status(scm, handle, stop_pending({4'294'968, 0})).error(),
            ServiceError::winapi(87));
  EXPECT_EQ(scm.statuses.size(), 2u);
}

}  // namespace
}  // namespace quolin
