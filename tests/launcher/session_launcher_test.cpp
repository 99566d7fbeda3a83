#include "launcher/session_launcher.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "fakes/fake_processes.h"

namespace quolin {
namespace {

using fakes::Calls;
using fakes::FakeProcesses;

constexpr const char* HOST_PATH = "C:\\Program Files\\Quolin Host\\quolin.exe";

// The calls every launch that gets as far as process creation begins with.
Calls calls_up_to_create(std::uint32_t session = 1) {
  return {"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(" + std::to_string(session) + ")",
          "CreateEnvironmentBlock(token1, 0)", "CreateProcessAsUserW(token1)"};
}

Calls operator+(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SessionLauncher, NoConsoleSessionMeansNoActiveSessionAndNoOtherCall) {
  for (std::uint32_t session : {0u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(session);
    FakeProcesses api;
    api.console_session = session;
    SessionLauncher launcher(api, HOST_PATH);

    LaunchOutcome outcome = launcher.launch();

    EXPECT_TRUE(std::holds_alternative<NoActiveSession>(outcome));
    EXPECT_EQ(api.calls, Calls{"WTSGetActiveConsoleSessionId"});
  }
}

TEST(SessionLauncher, LaunchKeepsOnlyTheProcessHandleUntilRelease) {
  FakeProcesses api;
  api.console_session = 3;
  SessionLauncher launcher(api, HOST_PATH);

  LaunchOutcome outcome = launcher.launch();

  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  HostProcess& host = std::get<Launched>(outcome).host;
  EXPECT_EQ(host.handle.get(), api.object("process1"));
  EXPECT_EQ(host.pid, api.pid_of(api.object("process1")));
  EXPECT_NE(host.pid, 0u);
  // Thread first, then the environment block, then the token; the process stays open.
  EXPECT_EQ(api.calls, (calls_up_to_create(3) + Calls{"CloseHandle(thread1)", "DestroyEnvironmentBlock(env1)",
                                                      "CloseHandle(token1)"}));
  EXPECT_EQ(api.open_objects(), Calls{"process1"});

  api.calls.clear();
  launcher.release(std::move(host));

  EXPECT_EQ(api.calls, (Calls{"TerminateProcess(process1, 1)", "CloseHandle(process1)"}));
  EXPECT_TRUE(api.open_objects().empty());
  EXPECT_TRUE(api.problems().empty());
}

TEST(SessionLauncher, PassesTheElevenArgumentsOfCreateProcessAsUserW) {
  FakeProcesses api;
  SessionLauncher launcher(api, HOST_PATH);

  LaunchOutcome outcome = launcher.launch();
  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));

  ASSERT_EQ(api.create_process_calls.size(), 1u);
  const fakes::CreateProcessCall& call = api.create_process_calls[0];
  // A path with spaces goes unquoted in both, and the command line is a copy of its own.
  const std::u16string expected_path = u"C:\\Program Files\\Quolin Host\\quolin.exe" + std::u16string(1, u'\0');
  EXPECT_EQ(call.token, api.object("token1"));
  EXPECT_EQ(call.application_name, expected_path);
  EXPECT_EQ(call.command_line, expected_path);
  EXPECT_TRUE(call.command_line_is_own_buffer);
  EXPECT_EQ(call.process_attributes, nullptr);
  EXPECT_EQ(call.thread_attributes, nullptr);
  EXPECT_EQ(call.inherit_handles, 0);
  EXPECT_EQ(call.creation_flags, 0x00000400u);
  EXPECT_EQ(call.environment, api.object("env1"));
  EXPECT_EQ(call.current_directory, nullptr);
  EXPECT_TRUE(call.process_information_given);
  EXPECT_TRUE(call.process_information_was_zero);

  ASSERT_TRUE(call.startup.has_value());
  const platform::StartupInfoW& startup = *call.startup;
  EXPECT_EQ(startup.cb, 104u);
  EXPECT_EQ(call.desktop, u"winsta0\\default" + std::u16string(1, u'\0'));
  // Everything else is zero: no window-display or standard-handle field applies.
  EXPECT_EQ(startup.lpReserved, nullptr);
  EXPECT_EQ(startup.lpTitle, nullptr);
  EXPECT_EQ(startup.dwX | startup.dwY | startup.dwXSize | startup.dwYSize | startup.dwXCountChars |
                startup.dwYCountChars | startup.dwFillAttribute | startup.dwFlags,
            0u);
  EXPECT_EQ(startup.wShowWindow, 0);
  EXPECT_EQ(startup.cbReserved2, 0);
  EXPECT_EQ(startup.lpReserved2, nullptr);
  EXPECT_EQ(startup.hStdInput, nullptr);
  EXPECT_EQ(startup.hStdOutput, nullptr);
  EXPECT_EQ(startup.hStdError, nullptr);

  launcher.release(std::move(std::get<Launched>(outcome).host));
}

TEST(SessionLauncher, EachFailureGivesItsCallsTextAndReleasesWhatWasHeld) {
  struct Case {
    const char* name;
    void (FakeProcesses::*fail)(std::uint32_t);
    std::uint32_t error;
    std::uint32_t shown_code;
    std::u16string message;
    std::string text;
    Calls calls;
  };
  const Case cases[] = {
      {"token", &FakeProcesses::fail_query_user_token, 1008, 0x800703F0,
       u"An attempt was made to reference a token that does not exist.\r\n",
       "WTSQueryUserToken: An attempt was made to reference a token that does not exist. (0x800703F0)",
       {"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(1)", "GetLastError",
        "FormatMessageW(0x1300, null, 0x800703F0, 0, 0, null)", "LocalFree(message1)"}},
      {"environment", &FakeProcesses::fail_environment_block, 5, 0x80070005, u"Access is denied.\r\n",
       "CreateEnvironmentBlock: Access is denied. (0x80070005)",
       {"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(1)", "CreateEnvironmentBlock(token1, 0)", "GetLastError",
        "FormatMessageW(0x1300, null, 0x80070005, 0, 0, null)", "LocalFree(message1)", "CloseHandle(token1)"}},
      {"process", &FakeProcesses::fail_create_process, 2, 0x80070002,
       u"The system cannot find the file specified.\r\n",
       "CreateProcessAsUserW: The system cannot find the file specified. (0x80070002)",
       calls_up_to_create() + Calls{"GetLastError", "FormatMessageW(0x1300, null, 0x80070002, 0, 0, null)",
                                    "LocalFree(message1)", "DestroyEnvironmentBlock(env1)",
                                    "CloseHandle(token1)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProcesses api;
    (api.*c.fail)(c.error);
    api.set_system_message(c.shown_code, c.message);
    SessionLauncher launcher(api, HOST_PATH);

    LaunchOutcome outcome = launcher.launch();

    ASSERT_TRUE(std::holds_alternative<LaunchFailed>(outcome));
    EXPECT_EQ(std::get<LaunchFailed>(outcome).text, c.text);
    EXPECT_EQ(api.calls, c.calls);
    EXPECT_TRUE(api.open_objects().empty());
    EXPECT_TRUE(api.problems().empty());
  }
}

TEST(SessionLauncher, FailureWithoutAMessageShowsTheCodeAlone) {
  FakeProcesses api;
  api.fail_create_process(2);
  SessionLauncher launcher(api, HOST_PATH);

  LaunchOutcome outcome = launcher.launch();

  ASSERT_TRUE(std::holds_alternative<LaunchFailed>(outcome));
  EXPECT_EQ(std::get<LaunchFailed>(outcome).text, "CreateProcessAsUserW: 0x80070002");
  EXPECT_TRUE(api.open_objects().empty());
}

TEST(SessionLauncher, FailingCleanUpCallsChangeNeitherOutcomeNorText) {
  // Clean-up calls that fail also leave a last error of their own behind: the text must still
  // come from the error read right after the failing call.
  for (bool creation_fails : {false, true}) {
    SCOPED_TRACE(creation_fails ? "creation fails" : "creation succeeds");
    FakeProcesses api;
    api.fail_close_handle(6);
    api.fail_destroy_environment(87);
    api.set_system_message(0x80070002, u"File not found.\r\n");
    if (creation_fails) api.fail_create_process(2);
    SessionLauncher launcher(api, HOST_PATH);

    LaunchOutcome outcome = launcher.launch();

    if (creation_fails) {
      ASSERT_TRUE(std::holds_alternative<LaunchFailed>(outcome));
      EXPECT_EQ(std::get<LaunchFailed>(outcome).text, "CreateProcessAsUserW: File not found. (0x80070002)");
      EXPECT_TRUE(api.open_objects().empty());
    } else {
      ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
      HostProcess& host = std::get<Launched>(outcome).host;
      EXPECT_EQ(host.handle.get(), api.object("process1"));
      EXPECT_EQ(host.pid, api.pid_of(api.object("process1")));
      EXPECT_EQ(api.open_objects(), Calls{"process1"});
      launcher.release(std::move(host));
      EXPECT_TRUE(api.open_objects().empty());
    }
    EXPECT_EQ(api.closes("token1"), 1);
    EXPECT_EQ(api.closes("env1"), 1);
    EXPECT_TRUE(api.problems().empty());
  }
}

TEST(SessionLauncher, EveryLaunchFindsTheSessionAndTheUserAnew) {
  FakeProcesses api;
  SessionLauncher launcher(api, HOST_PATH);

  LaunchOutcome first = launcher.launch();
  api.console_session = 0xFFFFFFFF;
  LaunchOutcome second = launcher.launch();
  api.console_session = 2;
  api.calls.clear();
  LaunchOutcome third = launcher.launch();

  EXPECT_TRUE(std::holds_alternative<NoActiveSession>(second));
  ASSERT_TRUE(std::holds_alternative<Launched>(first));
  ASSERT_TRUE(std::holds_alternative<Launched>(third));
  EXPECT_EQ(api.calls, (Calls{"WTSGetActiveConsoleSessionId", "WTSQueryUserToken(2)",
                              "CreateEnvironmentBlock(token2, 0)", "CreateProcessAsUserW(token2)",
                              "CloseHandle(thread2)", "DestroyEnvironmentBlock(env2)", "CloseHandle(token2)"}));
  EXPECT_NE(std::get<Launched>(first).host.pid, std::get<Launched>(third).host.pid);

  launcher.release(std::move(std::get<Launched>(first).host));
  launcher.release(std::move(std::get<Launched>(third).host));
  EXPECT_TRUE(api.open_objects().empty());
}

TEST(SessionLauncher, ReleaseOfAnExitedHostStillClosesItsHandle) {
  FakeProcesses api;
  SessionLauncher launcher(api, HOST_PATH);
  LaunchOutcome outcome = launcher.launch();
  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  api.exit_process(api.object("process1"), 0);
  api.calls.clear();

  launcher.release(std::move(std::get<Launched>(outcome).host));

  // TerminateProcess fails on an ended process; the handle is closed all the same.
  EXPECT_EQ(api.calls, (Calls{"TerminateProcess(process1, 1)", "CloseHandle(process1)"}));
  EXPECT_EQ(api.closes("process1"), 1);
  EXPECT_TRUE(api.problems().empty());
}

TEST(SessionLauncher, ReleaseEndsARunningHostWithExitCodeOne) {
  FakeProcesses api;
  SessionLauncher launcher(api, HOST_PATH);
  LaunchOutcome outcome = launcher.launch();
  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  platform::Handle process = api.object("process1");
  ASSERT_EQ(api.exit_code_of(process), std::nullopt);

  launcher.release(std::move(std::get<Launched>(outcome).host));

  EXPECT_EQ(api.exit_code_of(process), 1u);
  EXPECT_EQ(api.closes("process1"), 1);
}

}  // namespace
}  // namespace quolin
