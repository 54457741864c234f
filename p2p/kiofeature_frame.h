// The feature frame: the application message that carries one feature's
// admission payload as the whole plaintext of one data packet on channel 0.
//
//   16 bytes   feature id, a version-7 UUID in standard byte order
//   varint     frame value (carried, not interpreted)
//   varint     payload length
//   bytes      payload, which must end exactly at the end of the message
//
// Varints are little-endian base-128, at most 10 bytes, shortest form only.
//
// Both directions live here: the connector decodes, peers and tests encode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.h"
#include "common/uuid.h"
#include "p2p/error.h"

namespace kio::p2p {

// Feature frames travel on the control channel, beside the stream control
// messages that the bootstrap stream receiver reads there.
inline constexpr std::uint8_t KIOFEATURE_FRAME_CHANNEL = 0;

// The largest frame decode_exact accepts, all fields counted.
inline constexpr std::size_t MAX_KIOFEATURE_FRAME_SIZE = 1048576;

struct KioFeatureFrame {
  Uuid feature_id{};
  std::uint64_t frame_value = 0;
  std::vector<std::uint8_t> payload;

  // Decodes a message that holds exactly one frame. Checks, first failure wins:
  // size limit, id present, id version 7, both varints, payload end.
  static P2PResult<KioFeatureFrame> decode_exact(std::span<const std::uint8_t> bytes);

  bool operator==(const KioFeatureFrame&) const = default;
};

// Reads one varint at `pos` and advances past it. On an error `pos` stands after
// the last byte examined.
P2PResult<std::uint64_t> read_varint(std::span<const std::uint8_t> bytes, std::size_t& pos);

// Number of bytes in the shortest varint encoding of `value` (1 to 10).
std::size_t varint_length(std::uint64_t value);

// Appends the shortest encoding of `value`, the only one read_varint accepts.
void write_varint(Bytes& out, std::uint64_t value);

// 16-byte id, varint frame value, varint payload length, payload. The encoder
// writes what it is given (any id version, any size), so tests can also build
// frames that decode_exact must refuse.
Bytes encode_feature_frame(const Uuid& feature_id, std::uint64_t frame_value, std::span<const std::uint8_t> payload);

}  // namespace kio::p2p
