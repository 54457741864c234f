#include "p2p/replay_window.h"

#include <algorithm>

#include "p2p/protocol.h"

namespace kio::p2p {

ReplayVerdict ReplayWindow::check_and_record(std::uint64_t counter) {
  // Shifted up by one (see top_); at most 2^56, so nothing below overflows.
  const std::uint64_t n = (counter & COUNTER_NONCE_MASK) + 1;
  if (n + REPLAY_WINDOW < top_) return ReplayVerdict::TooOld;
  const std::uint64_t word = n / 64;
  if (n > top_) {
    // Moving ahead: the words between the old highest and the new one hold counters
    // not seen yet. Past a whole ring's length, every word is cleared once.
    const std::uint64_t current = top_ / 64;
    const std::uint64_t steps = std::min<std::uint64_t>(word - current, WORDS);
    for (std::uint64_t i = 1; i <= steps; ++i) bits_[(current + i) & (WORDS - 1)] = 0;
    top_ = n;
  }
  std::uint64_t& slot = bits_[word & (WORDS - 1)];
  const std::uint64_t bit = std::uint64_t{1} << (n % 64);
  if (slot & bit) return ReplayVerdict::Repeated;
  slot |= bit;
  return ReplayVerdict::Fresh;
}

std::optional<std::uint64_t> ReplayWindow::highest() const {
  if (top_ == 0) return std::nullopt;
  return top_ - 1;
}

ReplayVerdict ReplayWindows::check_and_record(std::uint8_t channel_id, std::uint64_t counter) {
  for (auto& [channel, window] : windows_) {
    if (channel == channel_id) return window.check_and_record(counter);
  }
  if (channel_id >= RESERVED_CHANNEL_WINDOWS) {
    const auto others = std::count_if(windows_.begin(), windows_.end(),
                                      [](const auto& entry) { return entry.first >= RESERVED_CHANNEL_WINDOWS; });
    if (static_cast<std::size_t>(others) >= MAX_CHANNEL_WINDOWS - RESERVED_CHANNEL_WINDOWS) {
      return ReplayVerdict::NoWindow;
    }
  }
  return windows_.emplace_back(channel_id, ReplayWindow{}).second.check_and_record(counter);
}

const ReplayWindow* ReplayWindows::find(std::uint8_t channel_id) const {
  for (const auto& [channel, window] : windows_) {
    if (channel == channel_id) return &window;
  }
  return nullptr;
}

}  // namespace kio::p2p
