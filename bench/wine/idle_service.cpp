// idle_service: the least a service can cost while it waits the way QuolinHost does. Its
// service main only reports itself running and then waits on a condition variable in 200 ms
// steps, doing nothing between them, until a stop control; it launches nothing, polls nothing
// and writes no log. The Wine benchmark sets its CPU time beside the real service's.
//
//   sc create QuolinIdleFloor binPath= C:\bench\idle_service.exe
//   sc start QuolinIdleFloor
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/service_control.h"
#include "platform/scm_codes.h"

namespace {

using namespace quolin;

constexpr char16_t SERVICE_NAME[] = u"QuolinIdleFloor";
// The real service's receive time-out.
constexpr auto STEP = std::chrono::milliseconds(200);

std::mutex stop_lock;
std::condition_variable stop_signal;
bool stop_requested = false;

std::uint32_t handle_control(std::uint32_t control, std::uint32_t, void*, void*) {
  if (control == scm::SERVICE_CONTROL_STOP) {
    {
      std::lock_guard<std::mutex> lock(stop_lock);
      stop_requested = true;
    }
    stop_signal.notify_one();
    return scm::NO_ERROR;
  }
  return control == scm::SERVICE_CONTROL_INTERROGATE ? scm::NO_ERROR : scm::ERROR_CALL_NOT_IMPLEMENTED;
}

void report(platform::ServiceStatusHandle handle, std::uint32_t state, std::uint32_t accepted) {
  platform::SERVICE_STATUS status{};
  status.dwServiceType = scm::SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  static_cast<void>(platform::win32_service_control().SetServiceStatus(handle, status));
}

void service_main(std::uint32_t, char16_t**) {
  platform::ServiceControl& scm = platform::win32_service_control();
  platform::SysResult<platform::ServiceStatusHandle> registered =
      scm.RegisterServiceCtrlHandlerExW(SERVICE_NAME, &handle_control, nullptr);
  if (!registered) return;
  const platform::ServiceStatusHandle handle = registered.value();
  report(handle, scm::SERVICE_RUNNING, scm::SERVICE_ACCEPT_STOP);
  {
    std::unique_lock<std::mutex> lock(stop_lock);
    // Each step ends by its time-out, as a quiet pass of the real loop does; the work that
    // the real service does between steps is left out on purpose.
    while (!stop_requested) stop_signal.wait_until(lock, std::chrono::steady_clock::now() + STEP);
  }
  report(handle, scm::SERVICE_STOPPED, 0);
}

}  // namespace

int main() {
  return platform::win32_service_control().StartServiceCtrlDispatcherW(SERVICE_NAME, &service_main).ok() ? 0 : 1;
}
