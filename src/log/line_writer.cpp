#include "log/line_writer.h"

namespace quolin {

std::string LogError::text() const {
  switch (kind) {
    case Kind::WriteZero:
      return "failed to write whole buffer";
    case Kind::Os:
      break;
  }
  return "os error " + std::to_string(code);
}

}  // namespace quolin
