#include "service/control_handler.h"

#include <gtest/gtest.h>

#include <memory>
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

// Nothing is ever mapped at 0x10, on Linux or Windows: any read of it faults.
void* const UNREADABLE = reinterpret_cast<void*>(std::uintptr_t{0x10});

// A WTSSESSION_NOTIFICATION (cbSize, then dwSessionId) in a block of exactly its 8 bytes, so the
// AddressSanitizer build catches any read past it.
std::unique_ptr<std::uint32_t[]> record(std::uint32_t cb_size, std::uint32_t session_id) {
  return std::unique_ptr<std::uint32_t[]>(new std::uint32_t[2]{cb_size, session_id});
}

TEST(HandleControl, SendsSessionChangesUntilAStopShutdownOrPreShutdownEndsTheChannel) {
  for (std::uint32_t last : {1u, 5u, 15u}) {
    SCOPED_TRACE(last);
    ControlChannel channel = make_control_channel();
    ControlHandlerContext context{std::move(channel.sender)};
    auto call = [&](std::uint32_t control, std::uint32_t event_type, void* data) {
      return handle_control(control, event_type, data, &context);
    };
    // None of these reads its event data or ends the channel.
    for (auto [control, event] : {std::pair{4u, 5u}, {2u, 5u}, {14u, 0u}, {14u, 12u}, {14u, ~0u}}) {
      call(control, event, UNREADABLE);
    }
    // The session id is in bytes 4-7, whatever cbSize says; without a notification it is 0.
    EXPECT_EQ(call(14, 5, record(8, 3).get()), 0u);
    EXPECT_EQ(call(14, 11, record(1000, 0xFFFFFFFF).get()), 0u);
    EXPECT_EQ(call(14, 6, nullptr), 0u);
    EXPECT_EQ(call(last, 0, UNREADABLE), last == 1 ? 0u : 120u);
    // Later controls are answered as ever; their messages go nowhere.
    EXPECT_EQ(call(1, 0, nullptr), 0u);
    EXPECT_EQ(call(14, 1, record(0, 1).get()), 0u);
    std::vector want{ControlMessage::session_change("SessionLogon", 3),
                     ControlMessage::session_change("SessionTerminate", 0xFFFFFFFF),
                     ControlMessage::session_change("SessionLogoff", 0)};
    if (last == 1) want.push_back(ControlMessage::stop());
    EXPECT_EQ(drain(channel.receiver), std::pair(want, ReceiveError::Disconnected));
  }
}

// How the registered handler routes the system's calls is seen in the run loop's tests.
TEST(RegisterControlHandler, ANameMayEndInItsOnlyNul) {
  FakeServiceControl scm;
  auto [sender, receiver] = make_control_channel();
  ASSERT_TRUE(register_control_handler(scm, "QuolinHost\0"sv, std::move(sender)));
  EXPECT_EQ(scm.registered_name, u"QuolinHost");
  // The program never frees the context; the test does, as the process end would.
  delete static_cast<ControlHandlerContext*>(scm.registered_contexts.back());
}

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
    EXPECT_EQ(drain(receiver), NOTHING_THEN_DISCONNECTED);
  }
}

}  // namespace
}  // namespace quolin
