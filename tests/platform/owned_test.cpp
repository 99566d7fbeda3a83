#include "platform/owned.h"

#include <gtest/gtest.h>

#include <vector>

namespace quolin::platform {
namespace {

struct CloseLog {
  std::vector<Handle> closed;
};

struct CountingTraits {
  using Api = CloseLog;
  using pointer = Handle;
  static bool is_valid(pointer h) { return is_valid_handle(h); }
  static void close(Api& api, pointer h) { api.closed.push_back(h); }
};

using Counted = Owned<CountingTraits>;

Handle fake(std::intptr_t v) { return reinterpret_cast<Handle>(v); }

TEST(Owned, ClosesOnceWhenDestroyed) {
  CloseLog log;
  { Counted h(log, fake(0x10)); }
  EXPECT_EQ(log.closed, std::vector<Handle>{fake(0x10)});
}

TEST(Owned, NullAndInvalidHandleValueAreNeverClosed) {
  CloseLog log;
  { Counted a(log, nullptr); }
  { Counted b(log, invalid_handle_value()); }
  EXPECT_TRUE(log.closed.empty());
  EXPECT_FALSE(Counted(log, invalid_handle_value()));
}

TEST(Owned, MoveTransfersOwnershipAndEmptiesTheSource) {
  CloseLog log;
  {
    Counted a(log, fake(0x20));
    Counted b(std::move(a));
    EXPECT_FALSE(a);  // NOLINT: the moved-from state is part of the contract
    EXPECT_TRUE(b);
    Counted c(log);
    c = std::move(b);
    EXPECT_TRUE(log.closed.empty());
  }
  EXPECT_EQ(log.closed, std::vector<Handle>{fake(0x20)});
}

TEST(Owned, MoveAssignmentClosesWhatTheTargetHeld) {
  CloseLog log;
  Counted a(log, fake(0x30));
  Counted b(log, fake(0x40));
  a = std::move(b);
  EXPECT_EQ(log.closed, std::vector<Handle>{fake(0x30)});
  a.reset();
  EXPECT_EQ(log.closed, (std::vector<Handle>{fake(0x30), fake(0x40)}));
}

TEST(Owned, ReleaseHandsBackWithoutClosing) {
  CloseLog log;
  Handle raw;
  {
    Counted a(log, fake(0x50));
    raw = a.release();
  }
  EXPECT_EQ(raw, fake(0x50));
  EXPECT_TRUE(log.closed.empty());
}

TEST(Owned, PutClosesTheOldValueBeforeGivingItsAddress) {
  CloseLog log;
  Counted a(log, fake(0x60));
  *a.put() = fake(0x70);
  EXPECT_EQ(log.closed, std::vector<Handle>{fake(0x60)});
  EXPECT_EQ(a.get(), fake(0x70));
}

}  // namespace
}  // namespace quolin::platform
