// The service main: start-up, the receive loop that drives the Supervisor, the stop sequence
// and the error exit.
//
//   Win32ServiceEnvironment env;      // src/main/; a fake one in tests
//   run_service_main(env);            // returns when the service has stopped or failed
//
// Everything here runs on the service thread. The only thing it shares with the dispatcher
// thread is the control channel, whose sending end it hands to the control handler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "launcher/host_launcher.h"
#include "log/event_sink.h"
#include "log/line_writer.h"
#include "platform/clock.h"
#include "platform/duration.h"
#include "platform/result.h"
#include "platform/service_control.h"
#include "service/control_channel.h"

namespace quolin {

// The one wait of the loop: every receive on the control channel ends after this long without
// a control. It does not shorten when a re-spawn comes near.
inline constexpr Duration POLL_PERIOD = Duration::from_millis(200);

inline constexpr Duration STOP_PENDING_WAIT_HINT = Duration::from_millis(500);

// What the service main works with. The real one is made of the Win32 platform; tests give
// fakes, and a receive that does not really wait.
class ServiceEnvironment {
 public:
  virtual LineWriter& log() = 0;
  // The Event Log source, opened once when the environment was made.
  virtual EventSink& events() = 0;
  virtual MonotonicClock& clock() = 0;
  virtual platform::ServiceControl& service_control() = 0;
  // The path of quolin.exe beside the service executable; worked out once, never fails.
  virtual std::string resolve_host_path() = 0;
  // The launcher for that path, owned by the environment; asked for once.
  virtual HostLauncher& host_launcher(std::string host_path) = 0;
  // Receives from the channel until `deadline`, an instant of clock().
  virtual Result<ControlMessage, ReceiveError> receive(ControlReceiver& receiver,
                                                       Instant deadline) = 0;

 protected:
  ~ServiceEnvironment() = default;
};

// Runs the service from its first log line to its last status report. Returns on every path;
// a failure ends in the error exit, which reports the error to the event sink (the one place
// it can still be read when the log file cannot be written) and SERVICE_STOPPED with a non-zero
// exit code whenever a status handle can be had, so the SCM never shows a dead service as running.
void run_service_main(ServiceEnvironment& env);

// The service main's arguments: converted, as the system hands them over, and not used.
void ignore_service_arguments(std::uint32_t argc, char16_t** argv);

}  // namespace quolin
