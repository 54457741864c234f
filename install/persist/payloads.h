// The events that LTR frames carry, one event sealed into each frame: what
// they hold, how they are written and how a decrypted one is decoded.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "common/secret.h"
#include "install/result.h"

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

}  // namespace kio::install
