// Arbitrary datagrams through header decoding, the discovery check and envelope
// decoding. Whatever decodes must encode back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "p2p/protocol.h"

using namespace kio::p2p;

namespace {
void require(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const std::uint8_t> datagram(data, size);
  const auto packet = decode_packet(datagram);
  if (!packet) {
    require(packet.error().kind() == P2PErrorKind::WireFormat);
    return 0;
  }
  const PacketHeader& h = packet->header;
  require(packet->payload.size() == size - HEADER_LEN);
  const auto again = encode_packet(h.msg_type, h.session_id, h.channel_id, h.counter, packet->payload);
  require(std::vector<std::uint8_t>(datagram.begin(), datagram.end()) == again);
  require((data_nonce(h.channel_id, h.counter) >> 56) == h.channel_id);

  if (h.msg_type == MsgType::Discovery) {
    const auto checked = check_discovery(*packet);
    require(checked.has_value() == (h.session_id == 0 && h.channel_id == 0 && h.counter == 0 &&
                                    !packet->payload.empty() && packet->payload.size() <= MAX_DISCOVERY_PAYLOAD_LEN));
  } else if (h.msg_type == MsgType::Handshake) {
    const auto envelope = decode_handshake(packet->payload);
    if (!envelope) {
      require(envelope.error().kind() == P2PErrorKind::WireFormat);
      return 0;
    }
    require(!envelope->noise_message.empty());
    require(envelope->identity.has_value() == (envelope->pattern == HandshakePattern::KK));
    const auto encoded = encode_handshake(envelope->pattern, envelope->identity, envelope->noise_message);
    require(encoded.has_value());
    require(std::vector<std::uint8_t>(packet->payload.begin(), packet->payload.end()) == *encoded);
  }
  return 0;
}
