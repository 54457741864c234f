// A responder session fed handshake messages split from the input: either raw
// bytes, or genuine initiator messages with fuzz-chosen damage, so that the
// checks after the Noise step are reached too. Then one data packet.
//
// Input: a mode byte (bit 0: KK, bit 1: genuine messages, bit 2: KK with an
// expected participant), then fields read in order; missing bytes read as zero.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "p2p/session.h"
#include "peer/initiator.h"
#include "peer/initiator_testing.h"

using namespace kio;
using namespace kio::p2p;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

struct Reader {
  std::span<const std::uint8_t> data;
  std::size_t pos = 0;

  std::size_t remaining() const { return data.size() - pos; }
  std::uint8_t byte() { return pos < data.size() ? data[pos++] : 0; }
  std::span<const std::uint8_t> chunk() {
    std::size_t len = byte();
    len |= static_cast<std::size_t>(byte()) << 8;
    len = std::min(len, remaining());
    const auto out = data.subspan(pos, len);
    pos += len;
    return out;
  }
};

SecretKey key_of(std::uint8_t fill) {
  std::array<std::uint8_t, 32> bytes;
  bytes.fill(fill);
  return SecretKey(bytes);
}

const SessionIdentity& responder_identity() {
  static const SessionIdentity identity = *SessionIdentity::from_unsealed_private_key(key_of(0x52));
  return identity;
}

const ParticipantId& responder_id() {
  static const ParticipantId id = *ParticipantId::from_str("01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");
  return id;
}

const ParticipantId& initiator_id() {
  static const ParticipantId id = *ParticipantId::from_str("0190f3c2-5b7e-7a11-8c3d-1234567890ab");
  return id;
}

// Flips one byte, then maybe cuts the message short or appends to it.
void damage(std::vector<std::uint8_t>& message, Reader& in) {
  const std::uint8_t at = in.byte();
  const std::uint8_t flip = in.byte();
  const std::uint8_t cut = in.byte();
  if (!message.empty() && flip != 0) message[at % message.size()] ^= flip;
  if (cut & 0x80) {
    message.resize(std::min<std::size_t>(message.size(), cut & 0x7F));
  } else if (cut & 0x40) {
    const auto extra = in.chunk();
    message.insert(message.end(), extra.begin(), extra.end());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{{data, size}};
  const std::uint8_t mode = in.byte();
  const HandshakePattern pattern = (mode & 1) ? HandshakePattern::KK : HandshakePattern::XX;
  const auto initiator_key = key_of(0x49);
  auto initiator = peer::InitiatorSession::create(1, initiator_key, initiator_id(), pattern,
                                                  pattern == HandshakePattern::KK
                                                      ? std::optional<StaticKey>(responder_identity().public_key())
                                                      : std::nullopt);
  require(initiator.has_value());
  // A fixed ephemeral keeps the initiator's messages the same on every run.
  require(peer::InitiatorTestSeam::use_fixed_ephemeral(*initiator, key_of(0x45)).has_value());

  std::optional<StaticKey> remote_static;
  std::optional<ParticipantId> remote_participant;
  if (pattern == HandshakePattern::KK) {
    remote_static = initiator->local_static();
    if (mode & 4) remote_participant = initiator_id();
  }
  const auto peer_address = *SocketAddress::parse("127.0.0.1:9");
  auto session = PeerSession::new_responder(1, peer_address, responder_identity(), responder_id(), pattern,
                                            remote_static, remote_participant);
  require(session.has_value());

  if (mode & 2) {
    auto first = *initiator->write_first_message();
    damage(first, in);
    const auto reply = session->read_handshake_message(first);
    if (reply && *reply) {
      const auto third = initiator->read_reply(**reply);
      if (third && *third) {
        auto message = **third;
        damage(message, in);
        (void)session->read_handshake_message(message);
      }
    }
  } else {
    for (int i = 0; i < 4 && in.remaining() > 0; ++i) (void)session->read_handshake_message(in.chunk());
  }

  const bool transport = session->state() == PeerSession::State::Transport;
  require(!transport || (session->remote_participant() && session->remote_static()));
  const std::uint8_t channel = in.byte();
  std::uint64_t counter = 0;
  for (int i = 0; i < 8; ++i) counter = (counter << 8) | in.byte();
  const auto ciphertext = in.chunk();
  const auto plaintext = session->decrypt_on_channel(channel, counter, ciphertext);
  if (plaintext) require(transport && plaintext->size() + 16 == ciphertext.size());
  return 0;
}
