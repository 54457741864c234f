// One decrypted data packet, as the manager's receive step hands it out.
#pragma once

#include <cstdint>
#include <vector>

#include "p2p/error.h"
#include "p2p/socket_address.h"

namespace kio::p2p {

struct KioFeatureFrame;

struct ReceivedMessage {
  std::vector<std::uint8_t> payload;
  // The peer address recorded in the session, not the source of this datagram.
  SocketAddress from;
  std::uint64_t session_id = 0;
  std::uint8_t channel_id = 0;

  // Decodes the whole payload as a feature frame; the caller checks the channel.
  P2PResult<KioFeatureFrame> as_kiofeature_frame() const;
};

}  // namespace kio::p2p
