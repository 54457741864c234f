#include "p2p/channel.h"

namespace kio::p2p {

ChannelManager::ChannelManager() {
  const auto now = Channel::Clock::now();
  channels_.emplace(std::uint8_t{0}, Channel{std::nullopt, now, now});
}

Channel* ChannelManager::get_mut(std::uint8_t channel_id) {
  const auto it = channels_.find(channel_id);
  return it == channels_.end() ? nullptr : &it->second;
}

const Channel* ChannelManager::get(std::uint8_t channel_id) const {
  const auto it = channels_.find(channel_id);
  return it == channels_.end() ? nullptr : &it->second;
}

}  // namespace kio::p2p
