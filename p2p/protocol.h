// The UDP wire format: the 18-byte packet header, the three packet types, the
// "KIHS" handshake envelope around Noise handshake messages, and the rule that
// turns a data packet's channel and counter into its Noise nonce.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "p2p/error.h"

namespace kio::p2p {

enum class MsgType : std::uint8_t { Handshake = 0, Data = 1, Discovery = 2 };
enum class HandshakePattern : std::uint8_t { XX = 0, KK = 1 };

// An X25519 public key: a static identity in envelopes and relationship records.
using StaticKey = std::array<std::uint8_t, 32>;

inline constexpr std::size_t HEADER_LEN = 18;
// The receive call reads at most this many bytes of a datagram; the rest is cut.
inline constexpr std::size_t MAX_DATAGRAM_LEN = 1500;
inline constexpr std::size_t MAX_PAYLOAD_LEN = MAX_DATAGRAM_LEN - HEADER_LEN;
inline constexpr std::size_t MAX_DISCOVERY_PAYLOAD_LEN = 1024;
inline constexpr std::size_t AEAD_TAG_LEN = 16;
// The largest plaintext one data packet can carry without being cut on receipt.
inline constexpr std::size_t MAX_DATA_PLAINTEXT_LEN = MAX_PAYLOAD_LEN - AEAD_TAG_LEN;

inline constexpr std::array<std::uint8_t, 4> ENVELOPE_MAGIC = {'K', 'I', 'H', 'S'};
inline constexpr std::uint8_t ENVELOPE_VERSION = 1;
inline constexpr std::size_t ENVELOPE_PREFIX_LEN = 38;

// The low 56 bits of a packet counter that take part in the nonce.
inline constexpr std::uint64_t COUNTER_NONCE_MASK = 0x00FF'FFFF'FFFF'FFFFull;

struct PacketHeader {
  MsgType msg_type = MsgType::Handshake;
  std::uint64_t session_id = 0;
  std::uint8_t channel_id = 0;
  std::uint64_t counter = 0;

  bool operator==(const PacketHeader&) const = default;
};

// A decoded datagram; `payload` views the bytes after the header (possibly none).
struct Packet {
  PacketHeader header;
  std::span<const std::uint8_t> payload;
};

// Decoded handshake envelope; `noise_message` views the bytes after the prefix.
struct HandshakeEnvelope {
  HandshakePattern pattern = HandshakePattern::XX;
  std::optional<StaticKey> identity;  // absent for XX, the initiator's static key for KK
  std::span<const std::uint8_t> noise_message;
};

// Length first ("buffer too small for header decode"), then the type ("invalid msg_type").
P2PResult<Packet> decode_packet(std::span<const std::uint8_t> datagram);

// A discovery packet has an all-zero header and 1 to 1024 payload bytes.
P2PResult<void> check_discovery(const Packet& packet);

P2PResult<HandshakeEnvelope> decode_handshake(std::span<const std::uint8_t> payload);

// KK needs an identity and XX refuses one. The identity is written as given and an
// empty message is accepted: the decoder, not the encoder, guards the receiver.
P2PResult<std::vector<std::uint8_t>> encode_handshake(HandshakePattern pattern,
                                                      const std::optional<StaticKey>& identity,
                                                      std::span<const std::uint8_t> noise_message);

// Writes the big-endian header into the first 18 bytes of `out`.
void encode_header(const PacketHeader& header, std::span<std::uint8_t, HEADER_LEN> out);

// Header followed by the payload, as one datagram.
std::vector<std::uint8_t> encode_packet(MsgType msg_type, std::uint64_t session_id, std::uint8_t channel,
                                        std::uint64_t counter, std::span<const std::uint8_t> payload);

// The channel in the top 8 bits, the counter's low 56 bits below; the counter's own
// top 8 bits take no part.
constexpr std::uint64_t data_nonce(std::uint8_t channel, std::uint64_t counter) {
  return (static_cast<std::uint64_t>(channel) << 56) | (counter & COUNTER_NONCE_MASK);
}

}  // namespace kio::p2p
