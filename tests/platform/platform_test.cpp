#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "fakes/fake_files.h"
#include "platform/clock.h"
#include "platform/duration.h"
#include "platform/owned.h"
#include "platform/system_error.h"
#include "platform/text.h"

namespace quolin::platform {
namespace {

TEST(Duration, MillisRoundDownAndInstantsBorrowCarryAndSaturateWithoutGoingNegative) {
  EXPECT_EQ((Duration{4, 999'999'999}).as_millis_saturating(), 4999u);
  EXPECT_EQ((Duration{0, 999'999}).as_millis_saturating(), 0u);
  EXPECT_EQ((Duration{UINT64_MAX / 1000 + 1, 0}).as_millis_saturating(), UINT64_MAX);
  EXPECT_EQ((Instant{{12, 50}}).saturating_since({{10, 100}}), (Duration{1, NANOS_PER_SEC - 50}));
  EXPECT_EQ((Instant{{10, 100}}).saturating_since({{12, 50}}), Duration{});
  EXPECT_EQ((Instant{{1, 600'000'000}}).plus(Duration::from_millis(400)), (Instant{{2, 0}}));
  Instant far{{UINT64_MAX, 500'000'000}};
  EXPECT_EQ(far.plus(Duration::from_millis(600)), (Instant{{UINT64_MAX, NANOS_PER_SEC - 1}}));
}

struct LoggingTraits {
  using Api = std::vector<Handle>;  // what was closed, in order
  using pointer = Handle;
  static bool is_valid(pointer h) { return is_valid_handle(h); }
  static void close(Api& closed, pointer h) { closed.push_back(h); }
};

TEST(Owned, ClosesEveryValidHandleExactlyOnce) {
  using Logged = Owned<LoggingTraits>;
  auto h = [](std::intptr_t v) { return reinterpret_cast<Handle>(v); };
  std::vector<Handle> closed;
  {
    Logged none(closed, nullptr), invalid(closed, invalid_handle_value());  // never closed
    Logged a(closed, h(1));
    Logged b(std::move(a));
    EXPECT_FALSE(a);  // NOLINT: the moved-from state is part of the contract
    Logged c(closed, h(2));
    c = std::move(b);  // closes what c held
    EXPECT_EQ(closed, std::vector{h(2)});
    EXPECT_EQ(Logged(closed, h(3)).release(), h(3));  // handed back, never closed
    c = Logged(closed, h(4));                         // closes 1 before taking 4
    EXPECT_EQ(closed, (std::vector{h(2), h(1)}));
  }
  EXPECT_EQ(closed, (std::vector{h(2), h(1), h(4)}));
}

// Wine does not always set the last error of a failed call: such a failure must not read as
// "The operation completed successfully". Reading the side a result does not hold is a bug,
// stopped at once in every build.
TEST(SysError, NeverCarriesCodeZeroAndTheWrongSideAborts) {
  SysResult<int> none = fail(0u);
  EXPECT_EQ(none.error().code(), CODE_GEN_FAILURE);
  SysResult<int> sharing = fail(CODE_SHARING_VIOLATION);
  EXPECT_EQ(sharing.error().code(), CODE_SHARING_VIOLATION);
  EXPECT_DEATH((void)sharing.value(), "value\\(\\) called on a failure");
  EXPECT_DEATH((void)SysResult<int>(7).error(), "error\\(\\) called on a success");
  EXPECT_DEATH((void)SysStatus().error(), "error\\(\\) called on a success");
}

TEST(Text, LossyConversionReplacesEachUnpairedSurrogate) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"C:\\Apps\\svc.exe \u2014 \U0001F600", "C:\\Apps\\svc.exe \xE2\x80\x94 \xF0\x9F\x98\x80"},
      {std::u16string{u'a', char16_t(0xD800), u'b'}, "a\xEF\xBF\xBD" "b"},
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {std::u16string{u'x', char16_t(0xDBFF)}, "x\xEF\xBF\xBD"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(utf8_from_utf16_lossy(in), out);
}

TEST(Text, Wtf8KeepsEveryUnitIncludingLoneSurrogates) {
  const std::u16string pair_and_lone{char16_t(0xD83D), char16_t(0xDE00), char16_t(0xDE00)};
  EXPECT_EQ(utf16_from_wtf8(wtf8_from_utf16(pair_and_lone)), pair_and_lone);
  for (char32_t u = 0; u <= 0xFFFF; ++u) {
    std::u16string one(1, static_cast<char16_t>(u));
    ASSERT_EQ(utf16_from_wtf8(wtf8_from_utf16(one)), one) << static_cast<unsigned>(u);
  }
  // Bytes that are no WTF-8 become replacement characters: a stray byte, an overlong NUL, a cut
  // sequence.
  EXPECT_EQ(utf16_from_wtf8("a\xFF" "b"), (std::u16string{u'a', char16_t(0xFFFD), u'b'}));
  EXPECT_EQ(utf16_from_wtf8("\xC0\x80"), std::u16string(1, char16_t(0xFFFD)));
  EXPECT_EQ(utf16_from_wtf8("\xE2\x80"), (std::u16string{char16_t(0xFFFD), char16_t(0xFFFD)}));
}

// The performance-counter clock: counter ticks scaled to seconds and nanoseconds.
TEST(PerformanceCounterClock, ScalesTheCounterExactlyAtEveryFrequency) {
  constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t frequency;
    std::int64_t counter;
    std::uint64_t secs;
    std::uint32_t nanos;
  };
  constexpr Case cases[] = {
      {10'000'000, MAX, 922'337'203'685, 477'580'700},  // the usual frequency, at the counter's end
      {3'000'000'000, 3'000'000'001, 1, 0},              // a third of a nanosecond rounds down
      // Above about 18 GHz the remainder times 10^9 no longer fits in 64 bits.
      {40'000'000'000, 60'000'000'000, 1, 500'000'000},
      {MAX, MAX - 1, 0, 999'999'999},
      {0, 12'345, 0, 0},  // no frequency: time stands at the origin rather than dividing by zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.frequency << " Hz, count " << c.counter);
    fakes::FakeFiles api;
    api.performance_frequency = c.frequency;
    api.performance_counter = c.counter;
    PerformanceCounterClock clock(api);
    const Instant now = clock.now();
    EXPECT_EQ(now.since_origin.secs, c.secs);
    EXPECT_EQ(now.since_origin.nanos, c.nanos);
  }
}

}  // namespace
}  // namespace quolin::platform
