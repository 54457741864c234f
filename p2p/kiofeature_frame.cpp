#include "p2p/kiofeature_frame.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace kio::p2p {
namespace {

constexpr std::size_t kFeatureIdSize = 16;
constexpr std::size_t kMaxVarintBytes = 10;

P2PError protocol_error(const char* message) { return P2PError::protocol(message); }

}  // namespace

std::size_t varint_length(std::uint64_t value) {
  const int bits = 64 - std::countl_zero(value);
  return bits == 0 ? 1 : static_cast<std::size_t>((bits + 6) / 7);
}

P2PResult<std::uint64_t> read_varint(std::span<const std::uint8_t> bytes, std::size_t& pos) {
  if (pos >= bytes.size()) return p2p_fail(protocol_error("truncated kiofeature varint"));
  const std::size_t start = pos;
  std::uint8_t byte = bytes[pos++];
  std::uint64_t value = byte & 0x7F;
  unsigned shift = 7;
  while (byte & 0x80) {
    if (pos >= bytes.size()) return p2p_fail(protocol_error("truncated kiofeature varint"));
    byte = bytes[pos++];
    if (pos - start == kMaxVarintBytes) {
      // The tenth byte can only supply bit 63.
      if (byte > 0x01) return p2p_fail(protocol_error("kiofeature varint overflow"));
      value |= static_cast<std::uint64_t>(byte) << 63;
      break;
    }
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    shift += 7;
  }
  if (pos - start != varint_length(value)) return p2p_fail(protocol_error("non-canonical kiofeature varint"));
  return value;
}

void write_varint(Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

P2PResult<KioFeatureFrame> KioFeatureFrame::decode_exact(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > MAX_KIOFEATURE_FRAME_SIZE) return p2p_fail(P2PError(P2PErrorKind::MessageTooLarge));
  if (bytes.size() < kFeatureIdSize) return p2p_fail(protocol_error("truncated kiofeature id"));
  if ((bytes[6] >> 4) != 7) return p2p_fail(P2PError(P2PErrorKind::InvalidFeatureId));

  std::size_t pos = kFeatureIdSize;
  auto frame_value = read_varint(bytes, pos);
  if (!frame_value) return p2p_fail(frame_value.error());
  auto length = read_varint(bytes, pos);
  if (!length) return p2p_fail(length.error());
  // pos is at most the input size, so only a length near 2^64 can overflow.
  if (*length > UINT64_MAX - pos) return p2p_fail(protocol_error("kiofeature payload length overflow"));
  if (pos + *length != bytes.size()) {
    return p2p_fail(protocol_error("kiofeature payload length does not exactly match input"));
  }

  KioFeatureFrame frame;
  std::copy_n(bytes.begin(), kFeatureIdSize, frame.feature_id.begin());
  frame.frame_value = *frame_value;
  frame.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end());
  return frame;
}

Bytes encode_feature_frame(const Uuid& feature_id, std::uint64_t frame_value, std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(kFeatureIdSize + varint_length(frame_value) + varint_length(payload.size()) + payload.size());
  out.insert(out.end(), feature_id.begin(), feature_id.end());
  write_varint(out, frame_value);
  write_varint(out, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace kio::p2p
