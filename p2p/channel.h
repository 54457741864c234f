// The per-session table of channels seen on the receive side.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>

namespace kio::p2p {

struct Channel {
  using Clock = std::chrono::steady_clock;

  // The `counter` header field of the latest data packet on this channel.
  std::optional<std::uint64_t> last_counter;
  Clock::time_point opened_at;
  Clock::time_point last_activity;
};

// Holds channel 0 from creation. Nothing on the receive path adds channels: a data
// packet on a channel without a record is still delivered, it just leaves no trace.
class ChannelManager {
 public:
  ChannelManager();

  Channel* get_mut(std::uint8_t channel_id);
  const Channel* get(std::uint8_t channel_id) const;
  std::size_t size() const { return channels_.size(); }

 private:
  std::map<std::uint8_t, Channel> channels_;
};

}  // namespace kio::p2p
