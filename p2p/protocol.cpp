#include "p2p/protocol.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace kio::p2p {
namespace {

bool all_zero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

constexpr std::size_t IDENTITY_OFFSET = 6;

}  // namespace

P2PResult<Packet> decode_packet(std::span<const std::uint8_t> datagram) {
  if (datagram.size() < HEADER_LEN) return p2p_fail(P2PError::wire_format("buffer too small for header decode"));
  if (datagram[0] > static_cast<std::uint8_t>(MsgType::Discovery)) {
    return p2p_fail(P2PError::wire_format("invalid msg_type"));
  }
  Packet packet;
  packet.header.msg_type = static_cast<MsgType>(datagram[0]);
  packet.header.session_id = load_be<std::uint64_t>(datagram.data() + 1);
  packet.header.channel_id = datagram[9];
  packet.header.counter = load_be<std::uint64_t>(datagram.data() + 10);
  packet.payload = datagram.subspan(HEADER_LEN);
  return packet;
}

P2PResult<void> check_discovery(const Packet& packet) {
  const PacketHeader& h = packet.header;
  if (h.session_id != 0 || h.channel_id != 0 || h.counter != 0 || packet.payload.empty() ||
      packet.payload.size() > MAX_DISCOVERY_PAYLOAD_LEN) {
    return p2p_fail(P2PError::wire_format("invalid discovery packet"));
  }
  return {};
}

P2PResult<HandshakeEnvelope> decode_handshake(std::span<const std::uint8_t> payload) {
  if (payload.size() <= ENVELOPE_PREFIX_LEN ||
      !std::equal(ENVELOPE_MAGIC.begin(), ENVELOPE_MAGIC.end(), payload.begin()) || payload[4] != ENVELOPE_VERSION) {
    return p2p_fail(P2PError::wire_format("invalid handshake envelope"));
  }
  const auto identity = payload.subspan(IDENTITY_OFFSET, 32);
  HandshakeEnvelope envelope;
  switch (payload[5]) {
    case static_cast<std::uint8_t>(HandshakePattern::XX):
      if (!all_zero(identity)) return p2p_fail(P2PError::wire_format("invalid handshake pattern selector"));
      envelope.pattern = HandshakePattern::XX;
      break;
    case static_cast<std::uint8_t>(HandshakePattern::KK): {
      if (all_zero(identity)) return p2p_fail(P2PError::wire_format("invalid handshake pattern selector"));
      envelope.pattern = HandshakePattern::KK;
      StaticKey key;
      std::copy(identity.begin(), identity.end(), key.begin());
      envelope.identity = key;
      break;
    }
    default:
      return p2p_fail(P2PError::wire_format("invalid handshake pattern selector"));
  }
  envelope.noise_message = payload.subspan(ENVELOPE_PREFIX_LEN);
  return envelope;
}

P2PResult<std::vector<std::uint8_t>> encode_handshake(HandshakePattern pattern, const std::optional<StaticKey>& identity,
                                                      std::span<const std::uint8_t> noise_message) {
  if ((pattern == HandshakePattern::KK) != identity.has_value()) {
    return p2p_fail(P2PError::wire_format("invalid handshake identity selector"));
  }
  std::vector<std::uint8_t> out(ENVELOPE_PREFIX_LEN + noise_message.size(), 0);
  std::copy(ENVELOPE_MAGIC.begin(), ENVELOPE_MAGIC.end(), out.begin());
  out[4] = ENVELOPE_VERSION;
  out[5] = static_cast<std::uint8_t>(pattern);
  if (identity) std::copy(identity->begin(), identity->end(), out.begin() + IDENTITY_OFFSET);
  std::copy(noise_message.begin(), noise_message.end(), out.begin() + ENVELOPE_PREFIX_LEN);
  return out;
}

void encode_header(const PacketHeader& header, std::span<std::uint8_t, HEADER_LEN> out) {
  out[0] = static_cast<std::uint8_t>(header.msg_type);
  store_be(out.data() + 1, header.session_id);
  out[9] = header.channel_id;
  store_be(out.data() + 10, header.counter);
}

std::vector<std::uint8_t> encode_packet(MsgType msg_type, std::uint64_t session_id, std::uint8_t channel,
                                        std::uint64_t counter, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out(HEADER_LEN + payload.size(), 0);
  encode_header({msg_type, session_id, channel, counter}, std::span<std::uint8_t, HEADER_LEN>(out.data(), HEADER_LEN));
  if (!payload.empty()) std::memcpy(out.data() + HEADER_LEN, payload.data(), payload.size());
  return out;
}

}  // namespace kio::p2p
