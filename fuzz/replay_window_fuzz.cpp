// The replay windows of one session against a plain model: a set of the counters
// seen on each channel, the highest of them, and the same rules (a counter more
// than REPLAY_WINDOW behind the highest is too old; only the low 56 bits count; at
// most MAX_CHANNEL_WINDOWS channels, channels 0 and 1 always among them). Every
// verdict and every highest counter must agree.
//
// Input: a run of steps. Each starts with an op byte: bits 0-1 the kind of counter
// (0: 8 bytes big-endian as given; 1: a 16-bit step ahead of the channel's highest;
// 2: a 16-bit step back from it; 3: one byte below the largest counter), bits 2-4
// the channel, bit 5 a byte that follows for the counter's top 8 bits.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <span>

#include "p2p/replay_window.h"
#include "p2p/protocol.h"

using namespace kio::p2p;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

struct Reader {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;

  bool done() const { return pos >= data.size(); }
  std::uint8_t byte() { return pos < data.size() ? data[pos++] : 0; }
};

struct ModelWindow {
  std::optional<std::uint64_t> highest;
  std::set<std::uint64_t> seen;

  ReplayVerdict check(std::uint64_t counter) {
    const std::uint64_t c = counter & COUNTER_NONCE_MASK;
    if (highest && c < *highest && *highest - c > REPLAY_WINDOW) return ReplayVerdict::TooOld;
    if (!seen.insert(c).second) return ReplayVerdict::Repeated;
    if (!highest || c > *highest) {
      highest = c;
      // What lies beyond the window is refused as too old before the set is asked.
      if (c > REPLAY_WINDOW) seen.erase(seen.begin(), seen.lower_bound(c - REPLAY_WINDOW));
    }
    return ReplayVerdict::Fresh;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{{data, size}};
  ReplayWindows windows;
  std::map<std::uint8_t, ModelWindow> model;
  while (!in.done()) {
    const std::uint8_t op = in.byte();
    const auto channel = static_cast<std::uint8_t>((op >> 2) & 7);
    const auto it = model.find(channel);
    const std::uint64_t highest = it != model.end() && it->second.highest ? *it->second.highest : 0;
    std::uint64_t counter = 0;
    switch (op & 3) {
      case 0:
        for (int i = 0; i < 8; ++i) counter = counter << 8 | in.byte();
        break;
      case 1:
      case 2: {
        std::uint64_t step = in.byte();
        step = step << 8 | in.byte();
        counter = ((op & 3) == 1 ? highest + step : highest - step) & COUNTER_NONCE_MASK;
        break;
      }
      default:
        counter = COUNTER_NONCE_MASK - in.byte();
    }
    if (op & 0x20) counter = (counter & COUNTER_NONCE_MASK) | std::uint64_t{in.byte()} << 56;

    // Channels 0 and 1 always get their window; the others share what is left.
    const auto others = std::count_if(model.begin(), model.end(),
                                      [](const auto& entry) { return entry.first >= RESERVED_CHANNEL_WINDOWS; });
    ReplayVerdict expected;
    if (it == model.end() && channel >= RESERVED_CHANNEL_WINDOWS &&
        static_cast<std::size_t>(others) >= MAX_CHANNEL_WINDOWS - RESERVED_CHANNEL_WINDOWS) {
      expected = ReplayVerdict::NoWindow;
    } else {
      expected = model[channel].check(counter);
    }
    require(windows.check_and_record(channel, counter) == expected);
    require(windows.size() == model.size());
    const ReplayWindow* window = windows.find(channel);
    require((window != nullptr) == model.contains(channel));
    if (window) require(window->highest() == model[channel].highest);
  }
  return 0;
}
