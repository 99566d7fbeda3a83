// ServiceError: the error value of the service control interface (registration, status reports,
// the dispatcher call, the service name's conversion).
//
//   ServiceError e = ServiceError::winapi(1063);
//   e.text();                      // "IO error in winapi call", for log lines
//   diagnostic_form(e, scm);       // Winapi(Os { code: 1063, kind: Uncategorized, message: "..." })
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quolin {

namespace platform {
class ServiceControl;
}

struct ServiceError {
  enum class Kind {
    Winapi,              // a Windows call failed; `code` is its system error code
    ArgumentHasNulByte,  // a text argument holds a NUL; `argument` names it
  };
  Kind kind = Kind::Winapi;
  std::uint32_t code = 0;
  std::string argument;

  static ServiceError winapi(std::uint32_t code) { return {Kind::Winapi, code, {}}; }
  static ServiceError argument_has_nul_byte(std::string argument) {
    return {Kind::ArgumentHasNulByte, 0, std::move(argument)};
  }

  // The display form, used in log lines: "IO error in winapi call" (without the code), or
  // "<argument> contains a nul byte".
  std::string text() const;

  // A Win32 error code standing for this error, for whoever must report one: a Winapi error's own
  // code; ERROR_INVALID_NAME (123) for a NUL in an argument, since the argument is always a name.
  std::uint32_t win32_exit_code() const;

  friend bool operator==(const ServiceError&, const ServiceError&) = default;
};

// The general category a system error code falls into, as a name ("NotFound",
// "PermissionDenied", ...); "Uncategorized" for every code without a closer one.
std::string_view error_category(std::uint32_t code);

// The system's message text for `code` (FormatMessageW from the system table, inserts ignored),
// without trailing white space; or a fallback text naming why there is none.
std::string system_message_text(platform::ServiceControl& api, std::uint32_t code);

// The diagnostic form written on standard error:
//   Winapi(Os { code: 1063, kind: Uncategorized, message: "The service process could not ..." })
//   ArgumentHasNulByte("service name")
std::string diagnostic_form(const ServiceError& error, platform::ServiceControl& api);

}  // namespace quolin
