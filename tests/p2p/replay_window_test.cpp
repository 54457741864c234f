#include "p2p/replay_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "p2p/protocol.h"

namespace kio::p2p {
namespace {

constexpr std::uint64_t LARGEST = COUNTER_NONCE_MASK;  // the largest counter a nonce holds
constexpr std::uint64_t TOP_BITS = 0xAB00000000000000u;

TEST(ReplayWindow, VerdictsInSequence) {
  using V = ReplayVerdict;
  struct Step {
    std::uint64_t counter;
    V verdict;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::optional<std::uint64_t> highest;  // after the last step
  };
  const Case cases[] = {
      {"counter 0 first, then again", {{0, V::Fresh}, {0, V::Repeated}, {1, V::Fresh}, {0, V::Repeated}}, 1},
      {"any first counter", {{5000, V::Fresh}, {5000, V::Repeated}}, 5000},
      {"reordered within the window",
       {{10, V::Fresh}, {5, V::Fresh}, {7, V::Fresh}, {5, V::Repeated}, {6, V::Fresh}, {10, V::Repeated}},
       10},
      {"the window's far edge",
       {{2000, V::Fresh}, {2000 - REPLAY_WINDOW, V::Fresh}, {2000 - REPLAY_WINDOW - 1, V::TooOld},
        {2000 - REPLAY_WINDOW, V::Repeated}},
       2000},
      {"a jump within the window keeps what was seen",
       {{0, V::Fresh}, {50, V::Fresh}, {1000, V::Fresh}, {50, V::Repeated}, {0, V::Repeated}, {49, V::Fresh}},
       1000},
      {"a jump past the window forgets the old counters and refuses them",
       {{0, V::Fresh}, {9, V::Fresh}, {5000, V::Fresh}, {9, V::TooOld}, {5000 - REPLAY_WINDOW, V::Fresh},
        {4999, V::Fresh}, {4999, V::Repeated}, {9 + 2 * 2048, V::Fresh}},
       5000},
      // 2048 apart is the same place in the ring: what the ring held there must go.
      {"the ring wraps a word at a time",
       {{10, V::Fresh}, {10 + 2048 - 64, V::Fresh}, {10 + 2048, V::Fresh}, {10, V::TooOld},
        {10 + 2048 - 64, V::Repeated}},
       10 + 2048},
      {"a jump of exactly the ring's length",
       {{100, V::Fresh}, {100 + 64 * 32, V::Fresh}, {100 + 64 * 32 - REPLAY_WINDOW, V::Fresh}, {100, V::TooOld}},
       100 + 64 * 32},
      {"word boundaries",
       {{63, V::Fresh}, {64, V::Fresh}, {127, V::Fresh}, {128, V::Fresh}, {64, V::Repeated}, {62, V::Fresh}},
       128},
      {"the largest counter",
       {{LARGEST, V::Fresh}, {LARGEST, V::Repeated}, {LARGEST - REPLAY_WINDOW, V::Fresh},
        {LARGEST - REPLAY_WINDOW - 1, V::TooOld}, {0, V::TooOld}},
       LARGEST},
      {"from 0 to the largest counter", {{0, V::Fresh}, {LARGEST, V::Fresh}, {0, V::TooOld}}, LARGEST},
      // Only the low 56 bits make the nonce, so only they tell counters apart.
      {"the top 8 bits take no part",
       {{7, V::Fresh}, {7 | TOP_BITS, V::Repeated}, {8 | TOP_BITS, V::Fresh}, {8, V::Repeated},
        {~std::uint64_t{0}, V::Fresh}, {LARGEST, V::Repeated}},
       LARGEST},
      {"nothing seen", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    ReplayWindow window;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      EXPECT_EQ(window.check_and_record(c.steps[i].counter), c.steps[i].verdict) << c.name << ", step " << i;
    }
    EXPECT_EQ(window.highest(), c.highest) << c.name;
  }
}

TEST(ReplayWindow, EveryCounterOfAReversedRunIsFreshOnce) {
  // A sender's whole window delivered backwards, then again forwards.
  ReplayWindow window;
  for (std::uint64_t c = REPLAY_WINDOW + 1; c-- > 0;) EXPECT_EQ(window.check_and_record(c), ReplayVerdict::Fresh) << c;
  for (std::uint64_t c = 0; c <= REPLAY_WINDOW; ++c) {
    EXPECT_EQ(window.check_and_record(c), ReplayVerdict::Repeated) << c;
  }
  EXPECT_EQ(window.check_and_record(REPLAY_WINDOW + 1), ReplayVerdict::Fresh);
  EXPECT_EQ(window.check_and_record(0), ReplayVerdict::TooOld);
}

TEST(ReplayWindows, OneWindowPerChannelUpToTheLimit) {
  ReplayWindows windows;
  EXPECT_EQ(windows.find(0), nullptr);
  // Counters of different channels are different nonces.
  for (std::uint8_t channel = 0; channel < MAX_CHANNEL_WINDOWS; ++channel) {
    const auto id = static_cast<std::uint8_t>(channel == 3 ? 255 : channel);
    EXPECT_EQ(windows.check_and_record(id, 0), ReplayVerdict::Fresh) << int(id);
  }
  EXPECT_EQ(windows.size(), MAX_CHANNEL_WINDOWS);
  // A further channel gets no window, so its packets cannot be checked.
  EXPECT_EQ(windows.check_and_record(9, 0), ReplayVerdict::NoWindow);
  EXPECT_EQ(windows.check_and_record(9, 1), ReplayVerdict::NoWindow);
  EXPECT_EQ(windows.find(9), nullptr);
  EXPECT_EQ(windows.size(), MAX_CHANNEL_WINDOWS);
  // The channels that have one go on as before.
  EXPECT_EQ(windows.check_and_record(255, 0), ReplayVerdict::Repeated);
  EXPECT_EQ(windows.check_and_record(1, 1), ReplayVerdict::Fresh);
  ASSERT_NE(windows.find(1), nullptr);
  EXPECT_EQ(windows.find(1)->highest(), 1u);
  EXPECT_EQ(windows.find(0)->highest(), 0u);
}

// A peer that uses other channels first cannot take the windows of the stream's
// channels: 0 and 1 always get theirs, the rest share what is left.
TEST(ReplayWindows, OtherChannelsNeverTakeTheWindowsOfChannelsZeroAndOne) {
  ReplayWindows windows;
  EXPECT_EQ(windows.check_and_record(2, 0), ReplayVerdict::Fresh);
  EXPECT_EQ(windows.check_and_record(3, 0), ReplayVerdict::Fresh);
  EXPECT_EQ(windows.check_and_record(4, 0), ReplayVerdict::NoWindow);
  EXPECT_EQ(windows.check_and_record(5, 0), ReplayVerdict::NoWindow);
  for (const std::uint8_t channel : {0, 1}) {
    EXPECT_EQ(windows.check_and_record(channel, 0), ReplayVerdict::Fresh) << int(channel);
    EXPECT_EQ(windows.check_and_record(channel, 0), ReplayVerdict::Repeated) << int(channel);
  }
  EXPECT_EQ(windows.size(), MAX_CHANNEL_WINDOWS);
}

}  // namespace
}  // namespace kio::p2p
