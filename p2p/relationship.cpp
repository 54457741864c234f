#include "p2p/relationship.h"

namespace kio::p2p {
namespace {

constexpr std::size_t TEXT_LEN = 36;
constexpr char DIGITS[] = "0123456789abcdef";

bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_version_7(const std::array<std::uint8_t, 16>& bytes) { return (bytes[6] >> 4) == 7; }

}  // namespace

// Only the canonical form is accepted, so parsing it strictly is the same as parsing
// any textual form and comparing the canonical re-encoding with the input.
P2PResult<ParticipantId> ParticipantId::from_str(std::string_view text) {
  const P2PError invalid(P2PErrorKind::InvalidParticipantId);
  if (text.size() != TEXT_LEN) return p2p_fail(invalid);
  std::array<std::uint8_t, 16> bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < TEXT_LEN; ++i) {
    if (is_hyphen_position(i)) {
      if (text[i] != '-') return p2p_fail(invalid);
      continue;
    }
    const int v = lower_hex_value(text[i]);
    if (v < 0) return p2p_fail(invalid);
    bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    ++nibble;
  }
  if (!is_version_7(bytes)) return p2p_fail(invalid);
  return ParticipantId(bytes);
}

P2PResult<ParticipantId> ParticipantId::from_bytes(std::span<const std::uint8_t, 16> bytes) {
  std::array<std::uint8_t, 16> copy;
  std::copy(bytes.begin(), bytes.end(), copy.begin());
  if (!is_version_7(copy)) return p2p_fail(P2PError(P2PErrorKind::InvalidParticipantId));
  return ParticipantId(copy);
}

std::string ParticipantId::to_string() const {
  std::string out;
  out.reserve(TEXT_LEN);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(DIGITS[bytes_[i] >> 4]);
    out.push_back(DIGITS[bytes_[i] & 0x0F]);
  }
  return out;
}

}  // namespace kio::p2p
