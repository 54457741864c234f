// Participant ids and the lookup of known relationships that KK handshakes need.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/uuid.h"
#include "p2p/error.h"
#include "p2p/protocol.h"

namespace kio::p2p {

// A version-7 UUID. Its only accepted text is the canonical one: 36 characters,
// lowercase hex, hyphens after the 8th, 12th, 16th and 20th digit. The variant
// bits are not examined.
class ParticipantId {
 public:
  static P2PResult<ParticipantId> from_str(std::string_view text);
  static P2PResult<ParticipantId> from_bytes(std::span<const std::uint8_t, 16> bytes);

  const Uuid& bytes() const { return bytes_; }
  std::string to_string() const;

  bool operator==(const ParticipantId&) const = default;
  auto operator<=>(const ParticipantId&) const = default;

 private:
  explicit ParticipantId(const Uuid& bytes) : bytes_(bytes) {}
  Uuid bytes_;
};

// What a relationship store reports about one peer; the transport reads only these.
struct RelationshipRecord {
  static constexpr std::uint8_t STATE_ACCEPTED = 1;

  ParticipantId participant;
  StaticKey remote_static;
  std::uint8_t state = 0;  // STATE_ACCEPTED, or any other value for not accepted

  bool is_accepted() const { return state == STATE_ACCEPTED; }
};

// Shared by the manager and whoever supplies it; errors pass through unchanged.
class RelationshipLookup {
 public:
  virtual ~RelationshipLookup() = default;
  virtual P2PResult<std::optional<RelationshipRecord>> by_participant_id(const ParticipantId& participant) const = 0;
  virtual P2PResult<std::optional<RelationshipRecord>> by_remote_static(const StaticKey& remote_static) const = 0;
};

}  // namespace kio::p2p
