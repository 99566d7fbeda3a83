// The program entry's work: connect to the Service Control Manager as QuolinHost and wait
// inside the control dispatcher until the service has stopped.
//
//   EntryResult r = program_entry(platform::win32_service_control(), &run_service);
//   // r.exit_status is 0 after a normal run; 1 with one "Error: ..." line for stderr otherwise
#pragma once

#include <string>

#include "platform/result.h"
#include "platform/service_control.h"
#include "service/service_error.h"

namespace quolin {

// Runs the two-entry service table (QuolinHost with `service_main`, then the terminator).
// Returns once the dispatcher call has returned: at once when the process was not started by
// the Service Control Manager, otherwise after the service reported SERVICE_STOPPED.
Status<ServiceError> run_dispatcher(platform::ServiceControl& api,
                                    platform::ServiceMainFunction service_main);

struct EntryResult {
  int exit_status = 0;
  std::string error_output;  // for standard error; empty after a normal run
};

EntryResult program_entry(platform::ServiceControl& api, platform::ServiceMainFunction service_main);

}  // namespace quolin
