// The service's name, and text as Windows takes it for a name.
#pragma once

#include <string>
#include <string_view>

#include "platform/result.h"
#include "service/service_error.h"

namespace quolin {

// The name the service is registered under, given to the dispatcher and to the handler
// registration.
inline constexpr std::string_view SERVICE_NAME = "QuolinHost";

// UTF-8 text to NUL-terminated UTF-16. The terminating NUL is part of the result's units (so
// "abc" gives the four units a, b, c, 0); a text that already ends in its only NUL keeps it and
// gets no second one. A NUL anywhere before the last unit fails with
// ArgumentHasNulByte("service name"): the name is the one text this conversion is used for.
Result<std::u16string, ServiceError> to_wide_name(std::string_view text);

}  // namespace quolin
