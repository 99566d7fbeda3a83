// The Service Control Manager calls (advapi32) and the error-text calls the service control
// interface needs (kernel32).
//
//   platform::ServiceControl& scm = platform::win32_service_control();
//   SysResult<ServiceStatusHandle> h = scm.RegisterServiceCtrlHandlerExW(name, &handle_control, context);
//   if (!h) ... h.error().code() is the system error code ...
//
// Every method takes portable types; the Win32 side adapts them to the Windows signatures. A call
// that can fail returns its failure as the system error code (system_error.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/system_error.h"

namespace quolin::platform {

// A SERVICE_STATUS_HANDLE. It is never closed: the system frees it with the service.
using ServiceStatusHandle = void*;

// The service main (LPSERVICE_MAIN_FUNCTIONW): argument count and that many NUL-terminated
// UTF-16 strings, the first being the service name. The strings live only during the call.
using ServiceMainFunction = void (*)(std::uint32_t argc, char16_t** argv);

// The control handler (LPHANDLER_FUNCTION_EX): control code, event type, event data,
// context. Returns the reply code.
using HandlerExFunction = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type,
                                            void* event_data, void* context);

// Windows' SERVICE_STATUS, field for field: seven unsigned 32-bit values in Windows' order.
// It lives in this namespace, so it never meets the global typedef of windows.h.
struct SERVICE_STATUS {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwCurrentState = 0;
  std::uint32_t dwControlsAccepted = 0;
  std::uint32_t dwWin32ExitCode = 0;
  std::uint32_t dwServiceSpecificExitCode = 0;
  std::uint32_t dwCheckPoint = 0;
  std::uint32_t dwWaitHint = 0;

  friend bool operator==(const SERVICE_STATUS&, const SERVICE_STATUS&) = default;
};

class ServiceControl {
 public:
  // Connects the process to the Service Control Manager with a one-service table (this
  // service, then the terminating empty entry) and returns only when the service has stopped,
  // or at once on failure. `service_name` is NUL-terminated and must outlive the call.
  // `service_main` runs on a thread the system creates.
  virtual SysStatus StartServiceCtrlDispatcherW(const char16_t* service_name,
                                           ServiceMainFunction service_main) = 0;

  // Registers `handler` with `context` for the named service. From then on the system may call
  // `handler` with `context` on the dispatcher thread until the process ends.
  virtual SysResult<ServiceStatusHandle> RegisterServiceCtrlHandlerExW(const char16_t* service_name,
                                                            HandlerExFunction handler,
                                                            void* context) = 0;

  virtual SysStatus SetServiceStatus(ServiceStatusHandle handle, const SERVICE_STATUS& status) = 0;

  // FormatMessageW with a null source (the system's message table when `flags` asks for it) into
  // a buffer of `size` units: the units written, without the terminating NUL.
  virtual SysResult<std::u16string> FormatMessageW(std::uint32_t flags, std::uint32_t message_id,
                                                   std::uint32_t language_id, std::uint32_t size) = 0;

 protected:
  ~ServiceControl() = default;
};

#ifdef _WIN32
// The real calls. Never destroyed: the dispatcher thread may outlive main().
ServiceControl& win32_service_control();
#endif

}  // namespace quolin::platform
