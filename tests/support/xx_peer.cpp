#include "tests/support/xx_peer.h"

#include <sodium.h>

#include <stdexcept>

#include "common/uuid.h"
#include "p2p/kiofeature_frame.h"
#include "tests/support/test_support.h"

namespace kio::test {

peer::PeerClient connect_xx(std::uint16_t port, std::uint64_t session_id, std::chrono::milliseconds timeout) {
  SecretKey key;
  randombytes_buf(key.data(), SecretKey::size);
  auto client = peer::PeerClient::connect(*p2p::SocketAddress::parse("127.0.0.1:" + std::to_string(port)), key,
                                          *p2p::ParticipantId::from_str(kPeerParticipantId), p2p::HandshakePattern::XX,
                                          std::nullopt, session_id, timeout);
  if (!client) throw std::runtime_error(client.error().display());
  return std::move(*client);
}

bool send_feature_frame(peer::PeerClient& client, const std::string& feature_id, const std::string& payload,
                        std::uint8_t channel) {
  const auto id = parse_uuid(feature_id);
  if (!id) throw std::runtime_error("not a UUID: " + feature_id);
  return client.send(channel, p2p::encode_feature_frame(*id, 0, bytes_of(payload))).has_value();
}

}  // namespace kio::test
