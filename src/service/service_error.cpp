#include "service/service_error.h"

#include <array>
#include <string_view>

#include "platform/service_control.h"
#include "platform/text.h"
#include "platform/scm_codes.h"

namespace quolin {
namespace {

// Size of the buffer FormatMessageW writes into, in UTF-16 units.
constexpr std::uint32_t MESSAGE_BUFFER_UNITS = 2048;

struct CategoryRow {
  std::uint32_t code;
  std::string_view category;
};

// The usual mapping of Windows error codes to I/O error categories, kept to the codes a service
// is likely to meet. Every code not listed is "Uncategorized", as are 13, 1056 and 1063, the
// failures of the dispatcher call.
constexpr std::array<CategoryRow, 19> CATEGORIES = {{
    {2, "NotFound"},             // ERROR_FILE_NOT_FOUND
    {3, "NotFound"},             // ERROR_PATH_NOT_FOUND
    {5, "PermissionDenied"},     // ERROR_ACCESS_DENIED
    {6, "InvalidInput"},         // ERROR_INVALID_HANDLE
    {8, "OutOfMemory"},          // ERROR_NOT_ENOUGH_MEMORY
    {14, "OutOfMemory"},         // ERROR_OUTOFMEMORY
    {32, "ResourceBusy"},        // ERROR_SHARING_VIOLATION
    {33, "ResourceBusy"},        // ERROR_LOCK_VIOLATION
    {50, "Unsupported"},         // ERROR_NOT_SUPPORTED
    {80, "AlreadyExists"},       // ERROR_FILE_EXISTS
    {87, "InvalidInput"},        // ERROR_INVALID_PARAMETER
    {109, "BrokenPipe"},         // ERROR_BROKEN_PIPE
    {112, "StorageFull"},        // ERROR_DISK_FULL
    {120, "Unsupported"},        // ERROR_CALL_NOT_IMPLEMENTED
    {123, "InvalidFilename"},    // ERROR_INVALID_NAME
    {183, "AlreadyExists"},      // ERROR_ALREADY_EXISTS
    {232, "BrokenPipe"},         // ERROR_NO_DATA
    {258, "TimedOut"},           // WAIT_TIMEOUT
    {1460, "TimedOut"},          // ERROR_TIMEOUT
}};

bool is_trailing_space(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// A quoted string: quote and backslash escaped by a backslash; tab, line feed and carriage
// return written as \t, \n and \r.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string ServiceError::text() const {
  if (kind == Kind::ArgumentHasNulByte) return argument + " contains a nul byte";
  return "IO error in winapi call";
}

std::uint32_t ServiceError::win32_exit_code() const {
  if (kind == Kind::ArgumentHasNulByte) return scm::ERROR_INVALID_NAME;
  return code;
}

std::string_view error_category(std::uint32_t code) {
  for (const CategoryRow& row : CATEGORIES) {
    if (row.code == code) return row.category;
  }
  return "Uncategorized";
}

std::string system_message_text(platform::ServiceControl& api, std::uint32_t code) {
  platform::SysResult<std::u16string> message =
      api.FormatMessageW(platform::MESSAGE_FROM_SYSTEM | platform::MESSAGE_IGNORE_INSERTS, code,
                         0, MESSAGE_BUFFER_UNITS);
  if (!message) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(message.error().code()) + ")";
  }
  std::u16string_view units(message.value());
  if (units.size() > MESSAGE_BUFFER_UNITS) units = units.substr(0, MESSAGE_BUFFER_UNITS);
  if (!platform::is_valid_utf16(units)) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
  }
  std::string text = platform::utf8_from_utf16_lossy(units);
  while (!text.empty() && is_trailing_space(text.back())) text.pop_back();
  return text;
}

std::string diagnostic_form(const ServiceError& error, platform::ServiceControl& api) {
  if (error.kind == ServiceError::Kind::ArgumentHasNulByte) {
    return "ArgumentHasNulByte(" + quoted(error.argument) + ")";
  }
  return "Winapi(Os { code: " + std::to_string(error.code) +
         ", kind: " + std::string(error_category(error.code)) +
         ", message: " + quoted(system_message_text(api, error.code)) + " })";
}

}  // namespace quolin
