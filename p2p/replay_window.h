// The replay windows that let each data packet of a session through at most once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kio::p2p {

// How far behind the highest counter seen on a channel a packet may still arrive:
// a counter more than this far behind is refused as too old.
inline constexpr std::uint64_t REPLAY_WINDOW = 1984;

// What a replay window makes of one authenticated packet's counter.
enum class ReplayVerdict {
  Fresh,     // not seen before: recorded, deliver it
  Repeated,  // seen before
  TooOld,    // more than REPLAY_WINDOW behind the highest counter seen
  NoWindow,  // a channel beyond the session's limit of windows: it cannot be checked
};

// Which counters of one channel were seen: the highest, and a bitmap of the
// REPLAY_WINDOW counters below it, kept as a ring of 64-bit words (the word of the
// highest counter is partly ahead of it, hence one word more than the window needs).
//
// A sender never repeats a counter: only its low 56 bits enter the nonce, so two
// counters that differ only in the top 8 bits are the same nonce and are kept here
// as the same counter. A packet is recorded only after it authenticated, so forged
// packets move nothing.
class ReplayWindow {
 public:
  ReplayVerdict check_and_record(std::uint64_t counter);
  // The highest counter (low 56 bits) recorded, if any.
  std::optional<std::uint64_t> highest() const;

 private:
  static constexpr std::size_t WORDS = REPLAY_WINDOW / 64 + 1;
  static_assert((WORDS & (WORDS - 1)) == 0, "the ring is indexed by masking");
  static_assert(REPLAY_WINDOW % 64 == 0);

  std::array<std::uint64_t, WORDS> bits_{};
  // The highest counter seen plus one; 0 while nothing was seen, so that counter 0
  // is as new as any other to a fresh window.
  std::uint64_t top_ = 0;
};

// The replay windows of one session, one per channel, made on the first packet of
// that channel that authenticated. A correct sender uses channels 0 and 1 (stream
// registrations and feature frames, then chunks), and those two always get their
// window. A session holds at most this many windows: the other channels share
// what is left, and a packet on a further channel is refused (NoWindow) rather
// than delivered unchecked. Nothing a peer sends on other channels can take a
// window from channel 0 or 1.
inline constexpr std::size_t MAX_CHANNEL_WINDOWS = 4;
inline constexpr std::size_t RESERVED_CHANNEL_WINDOWS = 2;  // channels 0 and 1

class ReplayWindows {
 public:
  ReplayVerdict check_and_record(std::uint8_t channel_id, std::uint64_t counter);
  const ReplayWindow* find(std::uint8_t channel_id) const;
  std::size_t size() const { return windows_.size(); }

 private:
  std::vector<std::pair<std::uint8_t, ReplayWindow>> windows_;
};

}  // namespace kio::p2p
