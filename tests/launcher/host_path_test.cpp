#include "launcher/host_path.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "fakes/fake_processes.h"
#include "launcher/session_launcher.h"

namespace quolin {
namespace {

using fakes::Calls;
using fakes::FakeProcesses;

TEST(HostPath, ReplacesTheExecutableNameBesideIt) {
  struct Case {
    std::u16string executable;
    std::string host;
  };
  const Case cases[] = {
      {u"C:\\Apps\\Host\\svc.exe", "C:\\Apps\\Host\\quolin.exe"},
      {u"C:\\Program Files\\Quolin Host\\QuolinHost.exe", "C:\\Program Files\\Quolin Host\\quolin.exe"},
      {u"C:\\svc.exe", "C:\\quolin.exe"},    // a root stays, with one backslash
      {u"C:/svc.exe", "C:/quolin.exe"},
      {u"C:/Apps/Host/svc.exe", "C:/Apps/Host\\quolin.exe"},
      {u"C:\\Apps/svc.exe", "C:\\Apps\\quolin.exe"},
      {u"C:/Apps\\svc.exe", "C:/Apps\\quolin.exe"},
      {u"C:\\Apps\\\\/svc.exe", "C:\\Apps\\quolin.exe"},  // all separators in front of the name go
      {u"\\\\?\\C:\\svc.exe", "\\\\?\\C:\\quolin.exe"},
      {u"\\\\server\\share\\svc.exe", "\\\\server\\share\\quolin.exe"},
      {u"\\svc.exe", "\\quolin.exe"},
      {u"svc.exe", "quolin.exe"},
      {u"", "quolin.exe"},
      {u"C:\\D\u00e9p\u00f4t\\\u30b5\u30fc\u30d3\u30b9.exe", "C:\\D\u00e9p\u00f4t\\quolin.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    FakeProcesses api;
    api.executable_path = c.executable;
    EXPECT_EQ(resolve_host_path(api), c.host);
  }
}

TEST(HostPath, UnreadableExecutablePathGivesTheBareName) {
  FakeProcesses api;
  api.fail_module_file_name(5);

  EXPECT_EQ(resolve_host_path(api), "quolin.exe");
  EXPECT_EQ(api.calls, (Calls{"SetLastError(0)", "GetModuleFileNameW(null, 512)", "GetLastError"}));
}

TEST(HostPath, EmptyPathGivesTheBareNameAfterClearingTheLastError) {
  FakeProcesses api;
  api.last_error = 87;  // stale: the read must not be judged by it
  api.executable_path = u"";

  EXPECT_EQ(resolve_host_path(api), "quolin.exe");
  EXPECT_EQ(api.calls, (Calls{"SetLastError(0)", "GetModuleFileNameW(null, 512)", "GetLastError"}));
}

TEST(HostPath, BufferDoublesUntilThePathFits) {
  struct Case {
    std::size_t directory_units;  // the path is this many units plus "\svc.exe" (8 units)
    Calls sizes;
  };
  const Case cases[] = {
      {503, {"512"}},                  // 511 units and the NUL fit
      {504, {"512", "1024"}},          // 512 units: the buffer was cut short
      {600, {"512", "1024"}},
      {1016, {"512", "1024", "2048"}},  // 1024 units
      {5000, {"512", "1024", "2048", "4096", "8192"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory_units);
    FakeProcesses api;
    api.executable_path = std::u16string(c.directory_units, u'd') + u"\\svc.exe";

    std::string host = resolve_host_path(api);

    EXPECT_EQ(host, std::string(c.directory_units, 'd') + "\\quolin.exe");
    Calls expected;
    for (const std::string& size : c.sizes) {
      expected.push_back("SetLastError(0)");
      expected.push_back("GetModuleFileNameW(null, " + size + ")");
    }
    EXPECT_EQ(api.calls, expected);
  }
}

TEST(HostPath, SizeLargerThanTheBufferIsTakenAsTheNextSize) {
  FakeProcesses api;
  api.report_needed_path_size = true;
  api.executable_path = std::u16string(2992, u'x') + u"\\svc.exe";  // 3000 units, 3001 with the NUL

  std::string host = resolve_host_path(api);

  EXPECT_EQ(host, std::string(2992, 'x') + "\\quolin.exe");
  EXPECT_EQ(api.calls, (Calls{"SetLastError(0)", "GetModuleFileNameW(null, 512)", "SetLastError(0)",
                              "GetModuleFileNameW(null, 3001)"}));
}

TEST(HostPath, UnpairedSurrogateReachesCreateProcessUnchanged) {
  FakeProcesses api;
  std::u16string directory = u"C:\\Apps\\x";
  directory.push_back(static_cast<char16_t>(0xD800));  // lone high surrogate
  directory += u"y";
  directory.push_back(static_cast<char16_t>(0xDC01));  // lone low surrogate
  api.executable_path = directory + u"\\svc.exe";
  SessionLauncher launcher(api, resolve_host_path(api));

  LaunchOutcome outcome = launcher.launch();

  ASSERT_TRUE(std::holds_alternative<Launched>(outcome));
  ASSERT_EQ(api.create_process_calls.size(), 1u);
  std::u16string expected = directory + u"\\quolin.exe" + std::u16string(1, u'\0');
  EXPECT_EQ(api.create_process_calls[0].application_name, expected);
  EXPECT_EQ(api.create_process_calls[0].command_line, expected);
  launcher.release(std::move(std::get<Launched>(outcome).host));
}

}  // namespace
}  // namespace quolin
