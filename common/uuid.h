// UUIDs: the 16 bytes in standard order, their text forms and fresh version-7 ids.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kio {

using Uuid = std::array<std::uint8_t, 16>;

// The usual text forms, hex digits of either case: 32 digits; 8-4-4-4-12 with
// hyphens; that form in braces; that form after "urn:uuid:".
std::optional<Uuid> parse_uuid(std::string_view text);

// Only the canonical form: 36 characters, lowercase, hyphens after the 8th,
// 12th, 16th and 20th digit.
std::optional<Uuid> parse_canonical_uuid(std::string_view text);

// The canonical form.
std::string format_uuid(const Uuid& uuid);

// The high nibble of byte 6; the variant bits are never examined.
constexpr unsigned uuid_version(const Uuid& uuid) { return uuid[6] >> 4; }

// 48-bit Unix milliseconds, version 7, the standard variant, random rest.
Uuid new_uuid_v7();

}  // namespace kio
