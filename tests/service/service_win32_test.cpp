// The service control calls against the real system, under Wine. A test process is not a
// service, which is just what the failure paths need.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/service_control.h"
#include "platform/text.h"
#include "service/control_channel.h"
#include "service/control_handler.h"
#include "service/printers.h"
#include "service/service_error.h"
#include "service/service_status.h"
#include "service/wide_name.h"

namespace quolin {
namespace {

platform::ServiceControl& scm() { return platform::win32_service_control(); }

// Undoes the quoting of the diagnostic form: \" \\ \t \n \r.
std::string unquote(const std::string& quoted) {
  std::string out;
  for (std::size_t i = 0; i < quoted.size(); ++i) {
    if (quoted[i] != '\\' || i + 1 == quoted.size()) {
      out.push_back(quoted[i]);
      continue;
    }
    char c = quoted[++i];
    out.push_back(c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c);
  }
  return out;
}

TEST(ServiceErrorOnWindows, DiagnosticFormCarriesTheSystemsTextFor1063) {
  std::array<char16_t, 2048> buffer{};
  std::uint32_t n = scm().FormatMessageW(0x1200, 1063, 0, buffer.data(), 2048);
  ASSERT_GT(n, 0u) << "error " << scm().GetLastError();
  std::string raw = platform::utf8_from_utf16_lossy(std::u16string_view(buffer.data(), n));

  std::string form = diagnostic_form(ServiceError::winapi(1063), scm());
  RecordProperty("diagnostic_form", form);
  const std::string head = "Winapi(Os { code: 1063, kind: Uncategorized, message: \"";
  const std::string tail = "\" })";
  ASSERT_EQ(form.compare(0, head.size(), head), 0) << form;
  ASSERT_GE(form.size(), head.size() + tail.size());
  ASSERT_EQ(form.compare(form.size() - tail.size(), tail.size(), tail), 0) << form;
  std::string message = unquote(form.substr(head.size(), form.size() - head.size() - tail.size()));

  // The message is the system's text without its trailing white space, and nothing else.
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message.find_last_not_of("\t\n\f\r "), message.size() - 1) << message;
  ASSERT_EQ(raw.compare(0, message.size(), message), 0) << raw;
  EXPECT_EQ(raw.find_first_not_of("\t\n\f\r ", message.size()), std::string::npos) << raw;
}

TEST(ServiceErrorOnWindows, UnknownCodeFallsBackToTheFormatMessageError) {
  constexpr std::uint32_t unknown = 0x2FFFFFFF;
  std::string text = system_message_text(scm(), unknown);
  RecordProperty("text", text);
  const std::string head = "OS Error " + std::to_string(unknown) + " (FormatMessageW() returned error ";
  EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
  EXPECT_EQ(text.back(), ')') << text;
  EXPECT_NE(text, head + "0)") << "the error of the failed call was not read";
}

TEST(SetServiceStatusOnWindows, NullHandleFailsWithInvalidHandle) {
  ServiceStatus running{0x10, 4, 0x81, ServiceExitCode::win32(0), 0, {}};
  auto r = set_service_status(scm(), nullptr, running);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ServiceError::winapi(6));
}

TEST(RegisterControlHandlerOnWindows, OutsideAServiceFailsAndDisconnects) {
  auto [sender, receiver] = make_control_channel();
  auto handle = register_control_handler(scm(), "QuolinHost", std::move(sender));
  ASSERT_FALSE(handle);
  EXPECT_EQ(handle.error().kind, ServiceError::Kind::Winapi);
  EXPECT_NE(handle.error().code, 0u);
  RecordProperty("error_code", std::to_string(handle.error().code));
  auto r = receiver.receive_until(ControlReceiver::Clock::now());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
}

bool g_service_main_ran = false;

// The slowest test: Wine's dispatcher gives up after about 10 s.
TEST(StartServiceCtrlDispatcherOnWindows, FromAConsoleProcessFailsWith1063) {
  auto name = to_wide_name("QuolinHost");
  ASSERT_TRUE(name);
  bool ok = scm().StartServiceCtrlDispatcherW(
      name.value().c_str(), [](std::uint32_t, char16_t**) { g_service_main_ran = true; });
  std::uint32_t error = scm().GetLastError();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, 1063u);
  EXPECT_FALSE(g_service_main_ran);
}

}  // namespace
}  // namespace quolin
