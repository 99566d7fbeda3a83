#include "service/control_handler.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/support.h"

namespace quolin {
namespace {

using namespace std::string_view_literals;
using fakes::FakeServiceControl;

TEST(TranslateControl, FollowsTheDecisionTable) {
  struct Row {
    std::uint32_t control, event_type, reply;
    std::optional<ControlMessage> message;
    bool give_up;
  };
  const auto stop = ControlMessage::stop();
  std::vector<Row> rows = {
      {1, 0, 0, stop, true},   {1, 5, 0, stop, true},      {4, 0, 0, {}, false},
      {5, 0, 120, {}, true},   {15, 3, 120, {}, true},     {2, 0, 120, {}, false},
      {13, 5, 120, {}, false}, {0x1000E, 5, 120, {}, false}, {0x10001, 0, 120, {}, false},
      {14, 0, 120, {}, false}, {14, 12, 120, {}, false},   {14, 0x10005, 120, {}, false}};
  const char* reasons[] = {"ConsoleConnect", "ConsoleDisconnect", "RemoteConnect",
                           "RemoteDisconnect", "SessionLogon", "SessionLogoff", "SessionLock",
                           "SessionUnlock", "SessionRemoteControl", "SessionCreate",
                           "SessionTerminate"};
  for (std::uint32_t e = 1; e <= 11; ++e) {
    rows.push_back({14, e, 0, ControlMessage::session_change(reasons[e - 1], 77), false});
  }
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.control) + "/" + std::to_string(r.event_type));
    ControlDecision d = translate_control(r.control, r.event_type, 77);
    EXPECT_EQ(d.reply, r.reply);
    EXPECT_EQ(d.message, r.message);
    EXPECT_EQ(d.give_up_sender, r.give_up);
  }
}

// How the registered handler routes the system's calls is seen in the run loop's tests, and
// how a name becomes the system's (a trailing NUL allowed) in wide_name_fuzz.
TEST(RegisterControlHandler, FailureDisconnectsTheChannel) {
  const ServiceError nul = ServiceError::argument_has_nul_byte("service name");
  for (auto [name, error] : {std::pair{"QuolinHost"sv, ServiceError::winapi(1060)},
                             {"Quolin\0Host"sv, nul}, {"QuolinHost\0\0"sv, nul}}) {
    FakeServiceControl scm;
    scm.fail_registration = 1060;
    auto [sender, receiver] = make_control_channel();
    auto handle = register_control_handler(scm, name, std::move(sender));
    EXPECT_EQ(handle ? std::nullopt : std::optional(handle.error()), error);
    EXPECT_EQ(!scm.registered_name.empty(), error != nul);  // a NUL never reaches the system
    EXPECT_EQ(drain(receiver), std::pair(std::vector<ControlMessage>{}, ReceiveError::Disconnected));
  }
}

}  // namespace
}  // namespace quolin
