#include "p2p/relationship.h"

#include <algorithm>

#include "common/uuid.h"

namespace kio::p2p {

// Any usual text form parses, but only the canonical one formats back to the input.
P2PResult<ParticipantId> ParticipantId::from_str(std::string_view text) {
  const auto uuid = parse_canonical_uuid(text);
  if (!uuid || uuid_version(*uuid) != 7) return p2p_fail(P2PError(P2PErrorKind::InvalidParticipantId));
  return ParticipantId(*uuid);
}

P2PResult<ParticipantId> ParticipantId::from_bytes(std::span<const std::uint8_t, 16> bytes) {
  Uuid uuid;
  std::copy(bytes.begin(), bytes.end(), uuid.begin());
  if (uuid_version(uuid) != 7) return p2p_fail(P2PError(P2PErrorKind::InvalidParticipantId));
  return ParticipantId(uuid);
}

std::string ParticipantId::to_string() const { return format_uuid(bytes_); }

}  // namespace kio::p2p
