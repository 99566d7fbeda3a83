#include "service/wide_name.h"

#include "platform/text.h"

namespace quolin {

Result<std::u16string, ServiceError> to_wide_name(std::string_view text) {
  std::u16string units = platform::utf16_from_wtf8(text);
  std::size_t nul = units.find(u'\0');
  if (nul == std::u16string::npos) {
    units.push_back(u'\0');
  } else if (nul + 1 != units.size()) {
    return fail(ServiceError::argument_has_nul_byte("service name"));
  }
  return units;
}

}  // namespace quolin
