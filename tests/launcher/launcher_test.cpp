// The launcher against FakeProcesses, which ends the test on a double close or a use after
// close. That the system's TerminateProcess ends the host with the code it is given, or leaves an
// ended one its own, is proven under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "fakes/fake_processes.h"
#include "launcher/host_path.h"
#include "launcher/session_launcher.h"
#include "platform/text.h"

namespace quolin {
namespace {

using fakes::Calls;
using fakes::FakeProcesses;

constexpr const char* HOST_PATH = "C:\\q\\quolin.exe";

HostProcess launch_one(SessionLauncher& launcher) {
  LaunchOutcome outcome = launcher.launch();
  EXPECT_TRUE(std::holds_alternative<Launched>(outcome));
  return std::move(std::get<Launched>(outcome).host);
}

// Where the first call beginning with `call` is in the journal; its size when there is none.
std::ptrdiff_t position(const Calls& calls, const std::string& call) {
  return std::find_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(call); }) -
         calls.begin();
}

TEST(SessionLauncher, FindsTheSessionAnewAndKeepsOnlyTheProcessHandleUntilReleased) {
  FakeProcesses api;
  SessionLauncher launcher(api, HOST_PATH);
  HostProcess first = launch_one(launcher);
  for (std::uint32_t none : {0u, 0xFFFFFFFFu}) {  // no console session, or the services' own
    api.console_session = none;
    api.calls.clear();
    EXPECT_TRUE(std::holds_alternative<NoActiveSession>(launcher.launch()));
    EXPECT_EQ(api.calls, Calls{"WTSGetActiveConsoleSessionId"});
  }
  api.console_session = 2;
  api.calls.clear();
  LaunchOutcome outcome = launcher.launch();  // this one ends by itself before it is released
  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  EXPECT_EQ(std::get<Launched>(outcome).session_id, 2u);
  HostProcess second = std::move(std::get<Launched>(outcome).host);
  EXPECT_EQ(api.calls.at(1), "WTSQueryUserToken(2)");
  EXPECT_EQ(api.open_objects(), (Calls{"process1", "job1", "process2", "job2"}));

  api.exit_process(second.handle.get(), 0);
  launcher.release(std::move(first));
  launcher.release(std::move(second));

  EXPECT_TRUE(api.open_objects().empty());
}

TEST(SessionLauncher, TiesTheHostToTheServiceByAJobOrSaysWhyNot) {
  struct Case {
    const char* failing;  // the call that fails, or "" for none
    std::uint32_t code;
    const char* job_error;  // empty: the host is in its job
  };
  constexpr Case cases[] = {
      {"", 0, ""},
      {"CreateJobObjectW", 8, "CreateJobObjectW: 0x80070008"},
      {"SetInformationJobObject", 87, "SetInformationJobObject: 0x80070057"},
      {"AssignProcessToJobObject", 5, "AssignProcessToJobObject: Access is denied. (0x80070005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    FakeProcesses api;
    api.set_system_message(0x80070005, u"Access is denied.\r\n");
    if (*c.failing) api.failures[c.failing] = c.code;
    SessionLauncher launcher(api, HOST_PATH);
    LaunchOutcome outcome = launcher.launch();
    ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
    Launched& launched = std::get<Launched>(outcome);
    EXPECT_EQ(launched.job_error, c.job_error);
    const bool tied = *c.failing == '\0';
    EXPECT_EQ(launched.host.job.get(), tied ? api.object("job1") : nullptr);
    if (tied) {
      // Right after the creation; the host dies with the job, its own children may leave it.
      EXPECT_EQ(position(api.calls, "SetInformationJobObject(job1, 0x3000)"),
                position(api.calls, "CreateProcessAsUserW") + 3);
      EXPECT_EQ(position(api.calls, "AssignProcessToJobObject(job1, process1)"),
                position(api.calls, "CreateProcessAsUserW") + 4);
    }
    // A job that could not serve is closed at once; the host still runs and is released as usual.
    EXPECT_EQ(api.open_objects(), tied ? (Calls{"process1", "job1"}) : Calls{"process1"});
    launcher.release(std::move(launched.host));
    EXPECT_TRUE(api.open_objects().empty());
    EXPECT_LT(position(api.calls, "CloseHandle(process1)"), position(api.calls, tied ? "CloseHandle(job1)" : "~"));
  }
}

TEST(SessionLauncher, CreatesTheProcessOnTheUsersDesktopWithItsPathUnquotedAndUnchanged) {
  FakeProcesses api;
  // Spaces and unpaired surrogates: the path must reach Windows exactly as Windows gave it.
  std::u16string folder = u"C:\\Quolin Host\\x";
  folder += {char16_t(0xD800), u'y', char16_t(0xDC01)};
  api.executable_path = folder + u"\\svc.exe";
  SessionLauncher launcher(api, resolve_host_path(api));
  HostProcess host = launch_one(launcher);

  // The user's own environment, not one that also inherits the service's (SYSTEM's) variables;
  // a command line of its own, which CreateProcessAsUserW may write into; CREATE_UNICODE_ENVIRONMENT
  // alone; no window-display or standard-handle field.
  EXPECT_EQ(api.calls[position(api.calls, "CreateEnvironmentBlock")], "CreateEnvironmentBlock(token1, FALSE)");
  const std::string path = '"' + platform::wtf8_from_utf16(folder + u"\\quolin.exe") + '"';
  EXPECT_EQ(api.calls[position(api.calls, "CreateProcessAsUserW")],
            "CreateProcessAsUserW(token1, " + path + ", " + path +
                ", null, FALSE, 0x400, env1, null, {cb=104, desktop=\"winsta0\\default\"})");
  launcher.release(std::move(host));
  EXPECT_EQ(std::count(api.calls.begin(), api.calls.end(), "TerminateProcess(process1, 1)"), 1);
}

TEST(SessionLauncher, FailureGivesTheCallAndItsTextMadeBeforeAnythingHeldIsReleased) {
  struct Case {
    const char* failing;
    std::uint32_t code;
    const char* text;
  };
  constexpr Case cases[] = {
      {"WTSQueryUserToken", 1008, "WTSQueryUserToken: No token. (0x800703F0)"},
      {"CreateEnvironmentBlock", 5, "CreateEnvironmentBlock: Access is denied. (0x80070005)"},
      {"CreateEnvironmentBlock", 0xD0000022, "CreateEnvironmentBlock: Denied. (0xD0000022)"},  // ntdll's NTSTATUS
      {"CreateProcessAsUserW", 0x123456, "CreateProcessAsUserW: 0x80073456"},  // no message; the low 16 bits
      {"CreateProcessAsUserW", 6, "CreateProcessAsUserW: 0x80070006"},        // a message of white space alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FakeProcesses api;
    api.set_system_message(0x800703F0, u"No token.\r\n");
    api.set_system_message(0x80070005, u"Access is denied.\r\n");
    api.set_system_message(0x80070006, u" \r\n\t");
    api.set_module_message("ntdll.dll", 0xC0000022, u"Denied.\n");
    api.failures[c.failing] = c.code;
    SessionLauncher launcher(api, HOST_PATH);

    LaunchOutcome outcome = launcher.launch();

    ASSERT_TRUE(std::holds_alternative<LaunchFailed>(outcome));
    EXPECT_EQ(std::get<LaunchFailed>(outcome).text, c.text);
    // The text is made first, then the environment block and the token are released.
    for (const char* release : {"DestroyEnvironmentBlock(env1)", "CloseHandle(token1)"}) {
      EXPECT_LT(position(api.calls, "FormatMessageW"), position(api.calls, release)) << release;
    }
    EXPECT_TRUE(api.open_objects().empty());
  }
}

// How the buffer grows to fit a long path, and a failed call, are the host_path fuzz target's.
TEST(ResolveHostPath, PutsQuolinExeInTheExecutablesFolder) {
  struct Case {
    std::u16string executable;
    std::string host;  // WTF-8
  };
  const Case cases[] = {
      {u"C:\\Program Files\\Quolin\\QuolinHost.exe", "C:\\Program Files\\Quolin\\quolin.exe"},
      {u"C:\\x\\\\/y.exe", "C:\\x\\quolin.exe"},  // a run of separators becomes one backslash
      {u"C:\\svc.exe", "C:\\quolin.exe"},          // a root keeps its own separator
      {u"\\svc.exe", "\\quolin.exe"},
      {u"\\\\?\\C:\\svc.exe", "\\\\?\\C:\\quolin.exe"},
      {u"svc.exe", "quolin.exe"},
      {u"", "quolin.exe"},
      {std::u16string(u"C:\\") + char16_t(0xDC00) + u"\\svc.exe", "C:\\\xED\xB0\x80\\quolin.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host.substr(0, 40));
    FakeProcesses api;
    api.executable_path = c.executable;
    EXPECT_EQ(resolve_host_path(api), c.host);
  }
}

TEST(PollExit, AnswersAtOnceAndOnlyASignalledHandleCountsAsExited) {
  using Exit = std::optional<std::optional<std::uint32_t>>;  // none: still running
  struct Case {
    bool exited;          // with code 7
    const char* failing;  // a call that fails, or ""
    Exit exit;
  };
  const Case cases[] = {{false, "", Exit()}, {true, "", 7u}, {true, "WaitForSingleObject", Exit()},
                        {true, "GetExitCodeProcess", std::optional<std::uint32_t>()}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing);
    FakeProcesses api;
    SessionLauncher launcher(api, HOST_PATH);
    HostProcess host = launch_one(launcher);
    if (c.exited) api.exit_process(host.handle.get(), 7);
    if (*c.failing) api.failures[c.failing] = 6;
    api.calls.clear();
    const std::optional<HostExit> exit = launcher.poll_exit(host);
    EXPECT_EQ(exit ? Exit(exit->code) : Exit(), c.exit);
    EXPECT_EQ(api.calls.at(0), "WaitForSingleObject(process1, 0)");  // never waits
    launcher.release(std::move(host));
  }
}

}  // namespace
}  // namespace quolin
