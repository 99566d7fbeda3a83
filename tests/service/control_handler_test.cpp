#include "service/control_handler.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_service_control.h"
#include "service/printers.h"

#ifndef _WIN32
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quolin {
namespace {

using Clock = ControlReceiver::Clock;
using fakes::FakeServiceControl;

Clock::time_point past() { return Clock::now() - std::chrono::hours(1); }

// ---- the expected table, written out independently of the code under test ----

constexpr std::array<const char*, 12> REASON_BY_EVENT = {
    nullptr,         "ConsoleConnect", "ConsoleDisconnect", "RemoteConnect",
    "RemoteDisconnect", "SessionLogon", "SessionLogoff",    "SessionLock",
    "SessionUnlock", "SessionRemoteControl", "SessionCreate", "SessionTerminate",
};

struct Expected {
  std::uint32_t reply;
  std::optional<ControlMessage> message;
  bool give_up_sender;
};

Expected expected_decision(std::uint32_t control, std::uint32_t event_type, std::uint32_t id) {
  switch (control) {
    case 1: return {0, ControlMessage::stop(), true};
    case 4: return {0, std::nullopt, false};
    case 5:
    case 15: return {120, std::nullopt, true};
    case 14:
      if (event_type >= 1 && event_type <= 11) {
        return {0, ControlMessage::session_change(REASON_BY_EVENT[event_type], id), false};
      }
      return {120, std::nullopt, false};
    default: return {120, std::nullopt, false};
  }
}

std::vector<std::uint32_t> all_controls() {
  std::vector<std::uint32_t> v;
  for (std::uint32_t c = 0; c <= 300; ++c) v.push_back(c);
  // Values whose low bits look like a known code must not be taken for it.
  for (std::uint32_t c : {0x10001u, 0x1000Eu, 0x100000Fu, 0x7FFFFFFFu, 0x80000001u, 0xFFFFFFFFu}) {
    v.push_back(c);
  }
  return v;
}

std::vector<std::uint32_t> all_event_types() {
  std::vector<std::uint32_t> v;
  for (std::uint32_t e = 0; e <= 15; ++e) v.push_back(e);
  for (std::uint32_t e : {0x105u, 0x10005u, 0x80000005u, 0xFFFFFFFFu}) v.push_back(e);
  return v;
}

TEST(SessionReason, NamesEachEventTypeOneToEleven) {
  for (std::uint32_t e = 1; e <= 11; ++e) {
    SCOPED_TRACE(e);
    auto reason = session_reason_from_event_type(e);
    ASSERT_TRUE(reason.has_value());
    EXPECT_EQ(static_cast<std::uint32_t>(*reason), e);
    EXPECT_EQ(session_reason_name(*reason), REASON_BY_EVENT[e]);
  }
  for (std::uint32_t e : {0u, 12u, 13u, 0x105u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(session_reason_from_event_type(e).has_value()) << e;
  }
}

TEST(TranslateControl, FollowsTheDecisionTableForEveryCodeAndEventType) {
  int give_ups = 0;
  int messages = 0;
  for (std::uint32_t control : all_controls()) {
    for (std::uint32_t event_type : all_event_types()) {
      SCOPED_TRACE("control " + std::to_string(control) + " event " + std::to_string(event_type));
      std::uint32_t id = control * 31u + event_type;
      ControlDecision got = translate_control(control, event_type, id);
      Expected want = expected_decision(control, event_type, id);
      ASSERT_EQ(got.reply, want.reply);
      ASSERT_EQ(got.message, want.message);
      ASSERT_EQ(got.give_up_sender, want.give_up_sender);
      give_ups += got.give_up_sender;
      messages += got.message.has_value();
    }
  }
  // Stop, shutdown and pre-shutdown, whatever the event type; stop and 11 session events.
  EXPECT_EQ(give_ups, 3 * static_cast<int>(all_event_types().size()));
  EXPECT_EQ(messages, static_cast<int>(all_event_types().size()) + 11);
}

// ---- handle_control with a real channel ----

// A notification record as the system lays it out: cbSize, then dwSessionId, little-endian.
std::array<unsigned char, 8> notification(std::uint32_t cb_size, std::uint32_t session_id) {
  std::array<unsigned char, 8> bytes{};
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<unsigned char>(cb_size >> (8 * i));
    bytes[4 + i] = static_cast<unsigned char>(session_id >> (8 * i));
  }
  return bytes;
}

// Memory the handler may or may not read. Natively a readable page followed by an unreadable
// one, so a read past the record's 8 bytes, or any read of the unreadable page, faults.
class GuardedMemory {
 public:
  GuardedMemory() {
#ifndef _WIN32
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<unsigned char*>(p);
    if (mprotect(base_ + page_, page_, PROT_NONE) != 0) {
      munmap(base_, 2 * page_);
      base_ = nullptr;
    }
#endif
  }
  ~GuardedMemory() {
#ifndef _WIN32
    if (base_ != nullptr) munmap(base_, 2 * page_);
#endif
  }
  GuardedMemory(const GuardedMemory&) = delete;
  GuardedMemory& operator=(const GuardedMemory&) = delete;

  bool ready() const {
#ifndef _WIN32
    return base_ != nullptr;
#else
    return true;
#endif
  }

  // The record placed so that its last byte is the last readable one.
  void* record(const std::array<unsigned char, 8>& bytes) {
#ifndef _WIN32
    unsigned char* at = base_ + page_ - bytes.size();
#else
    unsigned char* at = fallback_.data();
#endif
    std::memcpy(at, bytes.data(), bytes.size());
    return at;
  }

  // An address any read of which faults.
  void* unreadable() {
#ifndef _WIN32
    return base_ + page_;
#else
    // The first 64 KiB of a Windows address space are never mapped.
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10));
#endif
  }

 private:
#ifndef _WIN32
  std::size_t page_ = 0;
  unsigned char* base_ = nullptr;
#else
  std::array<unsigned char, 8> fallback_{};
#endif
};

struct Handler {
  ControlChannel channel = make_control_channel();
  ControlHandlerContext context{std::move(channel.sender)};

  std::uint32_t call(std::uint32_t control, std::uint32_t event_type = 0,
                     void* event_data = nullptr) {
    return handle_control(control, event_type, event_data, &context);
  }
  // Everything queued now, then how the queue ended (TimedOut or Disconnected).
  std::vector<ControlMessage> drain(ReceiveError* end = nullptr) {
    std::vector<ControlMessage> out;
    for (;;) {
      auto r = channel.receiver.receive_until(past());
      if (!r) {
        if (end != nullptr) *end = r.error();
        return out;
      }
      out.push_back(std::move(r).value());
    }
  }
};

TEST(HandleControl, ReadsTheSessionIdFromBytesFourToSevenWhateverCbSizeSays) {
  GuardedMemory memory;
  ASSERT_TRUE(memory.ready());
  struct Case {
    std::uint32_t cb_size;
    std::uint32_t session_id;
  };
  constexpr Case cases[] = {{8, 3}, {0, 1}, {3, 0x01020304}, {0xFFFFFFFF, 0xFFFFFFFF}, {1000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cb_size);
    Handler h;
    EXPECT_EQ(h.call(14, 5, memory.record(notification(c.cb_size, c.session_id))), 0u);
    ReceiveError end{};
    EXPECT_EQ(h.drain(&end), std::vector{ControlMessage::session_change("SessionLogon", c.session_id)});
    EXPECT_EQ(end, ReceiveError::TimedOut);
    EXPECT_TRUE(h.context.sender.has_value());
  }
}

TEST(HandleControl, SendsEachSessionEventUnderItsName) {
  GuardedMemory memory;
  ASSERT_TRUE(memory.ready());
  Handler h;
  std::vector<ControlMessage> want;
  for (std::uint32_t e = 1; e <= 11; ++e) {
    EXPECT_EQ(h.call(14, e, memory.record(notification(8, 100 + e))), 0u);
    want.push_back(ControlMessage::session_change(REASON_BY_EVENT[e], 100 + e));
  }
  EXPECT_EQ(h.drain(), want);
}

TEST(HandleControl, NeverReadsTheEventDataOfOtherControls) {
  GuardedMemory memory;
  ASSERT_TRUE(memory.ready());
  struct Case {
    std::uint32_t control;
    std::uint32_t event_type;
    std::uint32_t reply;
  };
  constexpr Case cases[] = {
      {14, 0, 120},  {14, 12, 120}, {14, 15, 120}, {14, 0xFFFFFFFF, 120}, {14, 0x10005, 120},
      {4, 5, 0},     {2, 5, 120},   {3, 1, 120},   {13, 5, 120},          {13, 0x8013, 120},
      {200, 5, 120}, {0, 5, 120},   {11, 5, 120},  {5, 5, 120},           {15, 5, 120},
      {1, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("control " + std::to_string(c.control) + " event " + std::to_string(c.event_type));
    Handler h;
    EXPECT_EQ(h.call(c.control, c.event_type, memory.unreadable()), c.reply);
  }
}

TEST(HandleControl, SessionChangeWithoutNotificationSendsSessionZero) {
  Handler h;
  EXPECT_EQ(h.call(14, 6, nullptr), 0u);
  EXPECT_EQ(h.drain(), std::vector{ControlMessage::session_change("SessionLogoff", 0)});
}

TEST(HandleControl, StopSendsStopThenDisconnects) {
  GuardedMemory memory;
  ASSERT_TRUE(memory.ready());
  Handler h;
  EXPECT_EQ(h.call(14, 5, memory.record(notification(8, 2))), 0u);
  EXPECT_EQ(h.call(1), 0u);
  EXPECT_FALSE(h.context.sender.has_value());

  ReceiveError end{};
  EXPECT_EQ(h.drain(&end),
            (std::vector{ControlMessage::session_change("SessionLogon", 2), ControlMessage::stop()}));
  EXPECT_EQ(end, ReceiveError::Disconnected);
}

TEST(HandleControl, ShutdownAndPreShutdownDisconnectWithoutAMessage) {
  for (std::uint32_t control : {5u, 15u}) {
    SCOPED_TRACE(control);
    Handler h;
    EXPECT_EQ(h.call(control), 120u);
    EXPECT_FALSE(h.context.sender.has_value());
    ReceiveError end{};
    EXPECT_TRUE(h.drain(&end).empty());
    EXPECT_EQ(end, ReceiveError::Disconnected);
  }
}

TEST(HandleControl, InterrogateAndUnhandledControlsKeepTheSenderAndSendNothing) {
  struct Case {
    std::uint32_t control;
    std::uint32_t event_type;
    std::uint32_t reply;
  };
  constexpr Case cases[] = {{4, 0, 0},    {2, 0, 120},  {3, 0, 120},   {13, 0x8013, 120},
                            {200, 0, 120}, {0, 0, 120}, {14, 0, 120}, {14, 12, 120}};
  Handler h;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    EXPECT_EQ(h.call(c.control, c.event_type), c.reply);
    EXPECT_TRUE(h.context.sender.has_value());
  }
  ReceiveError end{};
  EXPECT_TRUE(h.drain(&end).empty());
  EXPECT_EQ(end, ReceiveError::TimedOut);
}

TEST(HandleControl, AfterGivingUpTheSenderAnswersByTheTableAndSendsNothing) {
  GuardedMemory memory;
  ASSERT_TRUE(memory.ready());
  for (std::uint32_t first : {1u, 5u, 15u}) {
    SCOPED_TRACE(first);
    Handler h;
    h.call(first);
    ASSERT_FALSE(h.context.sender.has_value());
    std::vector<ControlMessage> before = h.drain();

    // A second stop and a session change are still answered 0; their messages are dropped.
    EXPECT_EQ(h.call(1), 0u);
    EXPECT_EQ(h.call(14, 5, memory.record(notification(8, 7))), 0u);
    EXPECT_EQ(h.call(4), 0u);
    EXPECT_EQ(h.call(5), 120u);
    EXPECT_EQ(h.call(15), 120u);
    EXPECT_EQ(h.call(14, 0), 120u);
    EXPECT_FALSE(h.context.sender.has_value());

    ReceiveError end{};
    EXPECT_TRUE(h.drain(&end).empty());
    EXPECT_EQ(end, ReceiveError::Disconnected);
  }
}

TEST(HandleControl, RepliesAsUsualWhenTheRunLoopHasDroppedTheReceiver) {
  Handler h;
  { ControlReceiver gone = std::move(h.channel.receiver); }
  EXPECT_EQ(h.call(14, 5, nullptr), 0u);
  EXPECT_TRUE(h.context.sender.has_value());
  EXPECT_EQ(h.call(1), 0u);
  EXPECT_FALSE(h.context.sender.has_value());
}

TEST(HandleControl, WithoutAContextOnlyReplies) {
  EXPECT_EQ(handle_control(1, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(handle_control(14, 5, nullptr, nullptr), 0u);
  EXPECT_EQ(handle_control(5, 0, nullptr, nullptr), 120u);
}

// ---- registration ----

TEST(RegisterControlHandler, RegistersHandleControlWithTheSenderAsContext) {
  FakeServiceControl scm;
  auto [sender, receiver] = make_control_channel();
  auto handle = register_control_handler(scm, "QuolinHost", std::move(sender));
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle.value(), scm.register_result);
  EXPECT_EQ(scm.calls, std::vector<std::string>{"RegisterServiceCtrlHandlerExW"});
  EXPECT_EQ(scm.registered_name, u"QuolinHost");
  EXPECT_EQ(scm.registered_handler, &handle_control);
  ASSERT_NE(scm.registered_context, nullptr);

  // The system's calls of the handler reach our receiver through the context.
  auto record = notification(8, 42);
  EXPECT_EQ(scm.registered_handler(14, 8, record.data(), scm.registered_context), 0u);
  EXPECT_EQ(scm.registered_handler(1, 0, nullptr, scm.registered_context), 0u);
  auto first = receiver.receive_until(past());
  auto second = receiver.receive_until(past());
  auto third = receiver.receive_until(past());
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first.value(), ControlMessage::session_change("SessionUnlock", 42));
  EXPECT_EQ(second.value(), ControlMessage::stop());
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error(), ReceiveError::Disconnected);

  // The program never frees the context; the test does, as the process end would.
  delete static_cast<ControlHandlerContext*>(scm.registered_context);
}

TEST(RegisterControlHandler, AcceptsANameEndingInItsOnlyNul) {
  FakeServiceControl scm;
  auto [sender, receiver] = make_control_channel();
  using namespace std::string_view_literals;
  auto handle = register_control_handler(scm, "QuolinHost\0"sv, std::move(sender));
  ASSERT_TRUE(handle);
  EXPECT_EQ(scm.registered_name, u"QuolinHost");
  delete static_cast<ControlHandlerContext*>(scm.registered_context);
}

TEST(RegisterControlHandler, FailureReportsTheLastErrorAndDisconnectsTheChannel) {
  FakeServiceControl scm;
  scm.register_result = nullptr;
  scm.register_error = 1060;
  auto [sender, receiver] = make_control_channel();
  auto handle = register_control_handler(scm, "QuolinHost", std::move(sender));
  ASSERT_FALSE(handle);
  EXPECT_EQ(handle.error(), ServiceError::winapi(1060));
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"RegisterServiceCtrlHandlerExW", "GetLastError"}));
  auto r = receiver.receive_until(past());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
}

TEST(RegisterControlHandler, NameWithANulRegistersNothingAndDisconnects) {
  FakeServiceControl scm;
  auto [sender, receiver] = make_control_channel();
  using namespace std::string_view_literals;
  auto handle = register_control_handler(scm, "Quolin\0Host"sv, std::move(sender));
  ASSERT_FALSE(handle);
  EXPECT_EQ(handle.error(), ServiceError::argument_has_nul_byte("service name"));
  EXPECT_TRUE(scm.calls.empty());
  auto r = receiver.receive_until(past());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ReceiveError::Disconnected);
}

}  // namespace
}  // namespace quolin
