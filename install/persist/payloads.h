// The events that LTR frames carry, one event sealed into each frame: what
// they hold, how they are written and how a decrypted one is decoded, and the
// log seen as the events its frames seal.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "common/secret.h"
#include "install/persist/ltr_log.h"
#include "common/result.h"

namespace kio::install {

// The `kind` of a BlobRecord.
inline constexpr std::string_view BLOB_KIND = "persist-blob";

// Records that a blob was stored; field order = JSON member order.
struct BlobRecord {
  std::string kind;            // "persist-blob"
  std::string blob_id;
  std::string class_name;      // JSON member "class": "feature" or "bytes"
  std::string url;
  bool encrypted = false;
  std::string sha256;
  bool operator==(const BlobRecord&) const = default;
};

// Records a labelled secret; the value is wiped when released.
struct SecretEvent {
  std::string kind;            // "connector-noise" or "third-party-secret"
  std::string label;
  SecretText value;
  bool operator==(const SecretEvent&) const = default;
};

using LtrPayload = std::variant<BlobRecord, SecretEvent>;

// Compact JSON of an event, members in declaration order, in a buffer that is
// wiped when released. An event whose kind no reader knows is refused.
Result<SecretBytes> serialize_ltr_payload(const LtrPayload& payload);
// Decodes a decrypted event; a member given twice counts with its last value.
Result<LtrPayload> decode_ltr_payload(std::span<const std::uint8_t> plaintext);

// The events of an install's log: the log, and the founder id and wrap key
// that bind each event to its frame. A view, for the length of a call.
struct EventLog {
  LtrLog& log;
  const SecretKey& key;
  std::string_view founder_id;
  // Fails when the store may not write: checked before every append.
  std::function<Result<void>()> writable;

  // Seals the event into a frame at the end of the chain; its sequence.
  Result<std::uint64_t> append(const LtrPayload& payload, LogFollower* follower = nullptr) const;
  // Seals the events, in order, into frames at the end of the chain, written
  // and flushed together: all of them or none. The sequence of the last.
  Result<std::uint64_t> append(std::span<const LtrPayload> payloads, LogFollower* follower = nullptr) const;
  // Opens and decodes the event sealed in a frame.
  Result<LtrPayload> open(const LtrFrameView& frame) const;
  // Reads the whole log from the segment files, hands every event to `visit` in
  // chain order as soon as its frame verified and its payload opened, and
  // returns the number of frames. Damage to the chain is reported before a
  // payload that did not open, wherever each lies; either is reported with its
  // segment and line.
  LtrResult<std::uint64_t> visit(const std::function<void(std::uint64_t sequence, LtrPayload&)>& visit) const;
};

}  // namespace kio::install
