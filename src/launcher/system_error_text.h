// The text of a system error code, as every launch error shows it:
//
//   system_error_text(api, 5)  ->  "Access is denied. (0x80070005)"   (the system's own wording)
//   system_error_text(api, e)  ->  "0x8007xxxx"                        (when there is no message)
#pragma once

#include <cstdint>
#include <string>

#include "platform/processes.h"

namespace quolin {

// `error` is a last-error value. Positive values are shown as HRESULT_FROM_WIN32; codes with the
// NT facility bit (0x10000000) take their message from ntdll.dll. The message loses its trailing
// white space and is UTF-8, each unpaired surrogate turned into U+FFFD.
std::string system_error_text(platform::Processes& api, std::uint32_t error);

}  // namespace quolin
