// What the store seals and how a sealed file looks.
//
// A sealed file ("identity.json", a sealed blob) holds one record: the format
// version and the two texts of a sealed envelope. Plaintexts on their way to
// being sealed (the identity, LTR events) are compact JSON written into
// buffers that are wiped when released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/secret.h"
#include "install/crypto.h"
#include "common/result.h"

namespace kio::install {

namespace json {
class Writer;
}

// The sealed-file record. `version` is read but never compared with anything.
struct IdentityEnvelope {
  std::uint32_t version = 1;
  std::string nonce_b64;
  std::string ciphertext_b64;
};

namespace detail {

// Compact JSON, members in this order: "version" (always 1), "nonce_b64",
// "ciphertext_b64"; no line break after it.
std::string write_envelope(const SealedEnvelope& sealed);
// Nothing unless the text is one JSON object holding the three members, each
// once and of its type (other members are ignored).
std::optional<IdentityEnvelope> read_envelope(std::string_view text);

// One compact JSON object whose members `write_members` writes, in a buffer
// that is wiped when released. `text_bytes` is the size of the texts it holds:
// room for the worst case (every byte escaped as \u00XX) is reserved up front,
// so that no unwiped copy is left behind by growth. Fails with the writer's
// message for a text without a JSON form.
Result<SecretBytes> write_secret_record(std::size_t text_bytes, const std::function<void(json::Writer&)>& write_members);

}  // namespace detail

}  // namespace kio::install
