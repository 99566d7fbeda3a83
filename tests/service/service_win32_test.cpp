// The failure paths of the real Service Control Manager calls, under Wine: a test process is not
// a service. Their success paths, and the 1063 line of a console start, are proven end to end.
#include <gtest/gtest.h>

#include "platform/service_control.h"
#include "service/control_handler.h"
#include "service/service_status.h"
#include "service/support.h"

namespace quolin {
namespace {

platform::ServiceControl& scm() { return platform::win32_service_control(); }

TEST(ServiceErrorOnWindows, UnknownCodeFallsBackToTheFormatMessageError) {
  std::string text = system_message_text(scm(), 0x2FFFFFFF);
  const std::string head = "OS Error 805306367 (FormatMessageW() returned error ";
  EXPECT_EQ(text.compare(0, head.size(), head), 0) << text;
  EXPECT_EQ(text.back(), ')') << text;
  EXPECT_NE(text, head + "0)") << "the error of the failed call was not read";
}

TEST(SetServiceStatusOnWindows, NullHandleFailsWithInvalidHandle) {
  ServiceStatus running{0x10, 4, 0x81, ServiceExitCode::win32(0), 0, {}};
  EXPECT_EQ(set_service_status(scm(), nullptr, running).error(), ServiceError::winapi(6));
}

}  // namespace
}  // namespace quolin
