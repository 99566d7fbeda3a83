#include "launcher/session_launcher.h"

#include <utility>

#include "launcher/system_error_text.h"
#include "platform/text.h"

namespace quolin {
namespace {

constexpr std::uint32_t NO_CONSOLE_SESSION = 0xFFFFFFFF;
constexpr std::u16string_view HOST_DESKTOP = u"winsta0\\default";
constexpr std::uint32_t RELEASE_EXIT_CODE = 1;

LaunchFailed failure(platform::Processes& api, const char* call, std::uint32_t error) {
  return LaunchFailed{std::string(call) + ": " + system_error_text(api, error)};
}

// Places the new host in a job of its own that ends it when the service process ends, so that a
// service that dies without its stop sequence leaves no host behind that nobody supervises. The
// host's own children may leave the job silently: only the host is tied to the service. A host
// that cannot be placed keeps running, with the reason beside it for the log.
void tie_to_service(platform::Processes& api, Launched& launched) {
  platform::SysResult<platform::UniqueHandle> job = api.CreateJobObjectW();
  if (!job) {
    launched.job_error = failure(api, "CreateJobObjectW", job.error().code()).text;
    return;
  }
  platform::SysStatus limited = api.SetInformationJobObject(
      job.value().get(), platform::JOB_LIMIT_KILL_ON_JOB_CLOSE | platform::JOB_LIMIT_SILENT_BREAKAWAY_OK);
  if (!limited) {
    launched.job_error = failure(api, "SetInformationJobObject", limited.error().code()).text;
    return;
  }
  platform::SysStatus assigned =
      api.AssignProcessToJobObject(job.value().get(), launched.host.handle.get());
  if (!assigned) {
    launched.job_error = failure(api, "AssignProcessToJobObject", assigned.error().code()).text;
    return;
  }
  launched.host.job = std::move(job.value());
}

}  // namespace

SessionLauncher::SessionLauncher(platform::Processes& api, std::string host_path)
    : api_(&api), host_path_(std::move(host_path)) {}

LaunchOutcome SessionLauncher::launch() {
  platform::Processes& api = *api_;

  // Session 0 is the services' own session: nobody to launch for, as with no session at all.
  std::uint32_t session = api.WTSGetActiveConsoleSessionId();
  if (session == 0 || session == NO_CONSOLE_SESSION) return NoActiveSession{};

  // Each failure's text is made while what came before is still held: strings, then
  // environment, then token are released after it, in the reverse of their making.
  platform::SysResult<platform::UniqueHandle> token = api.WTSQueryUserToken(session);
  if (!token) return failure(api, "WTSQueryUserToken", token.error().code());

  platform::SysResult<platform::UniqueEnvironmentBlock> environment =
      api.CreateEnvironmentBlock(token.value().get(), false);
  if (!environment) return failure(api, "CreateEnvironmentBlock", environment.error().code());

  std::u16string desktop(HOST_DESKTOP);
  std::u16string application_name = platform::utf16_from_wtf8(host_path_);
  // CreateProcessAsUserW may write into the command line, so it gets a copy of its own. The
  // path goes unquoted: with the application name given, Windows does not parse it for the file.
  std::u16string command_line = application_name;

  platform::StartupInfoW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop.data();
  platform::ProcessInformation info{};

  platform::SysStatus created = api.CreateProcessAsUserW(
      token.value().get(), application_name.c_str(), command_line.data(), nullptr, nullptr, false,
      // Nothing else: no suspended start, no console or priority flags.
      platform::CREATE_UNICODE_ENVIRONMENT_FLAG, environment.value().get(), nullptr, &startup, &info);
  if (!created) return failure(api, "CreateProcessAsUserW", created.error().code());

  platform::UniqueHandle thread(api, info.hThread);
  platform::UniqueHandle process(api, info.hProcess);
  thread.reset();
  Launched launched{HostProcess{std::move(process), info.dwProcessId, {}}, session, {}};
  tie_to_service(api, launched);
  return launched;
}

void SessionLauncher::release(HostProcess host) {
  if (!host.handle) return;
  static_cast<void>(api_->TerminateProcess(host.handle.get(), RELEASE_EXIT_CODE));
  host.handle.reset();
  host.job.reset();
}

std::optional<HostExit> SessionLauncher::poll_exit(const HostProcess& host) {
  platform::SysResult<std::uint32_t> waited = api_->WaitForSingleObject(host.handle.get(), 0);
  if (!waited || waited.value() != platform::WAIT_SIGNALLED) return std::nullopt;
  platform::SysResult<std::uint32_t> code = api_->GetExitCodeProcess(host.handle.get());
  if (!code) return HostExit{std::nullopt};
  return HostExit{code.value()};
}

}  // namespace quolin
