// Strict reading of typed JSON records, and the writers the install shares.
//
// A typed record is unreadable when a required member is missing, a member is
// given twice (anywhere in the document), a member has the wrong JSON type (a
// negative or fractional number or one out of range for an unsigned field,
// null for a text), or text other than white space follows the document.
// Members a record does not define are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "install/result.h"

namespace kio::install::json {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Parses one JSON document (any value) refusing duplicate members. The error
// text is the JSON library's message, or "duplicate member NAME".
Result<Json> parse_strict(std::string_view text);
inline Result<Json> parse_strict(std::span<const std::uint8_t> bytes) {
  return parse_strict(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Parses one JSON document (any value) in which a repeated member is allowed and
// its last occurrence counts.
Result<Json> parse_lenient(std::string_view text);

// Typed member readers for an object value; each fails when the member is
// missing or of the wrong type. The error texts name the member.
Result<std::string> get_string(const Json& object, std::string_view name);
Result<std::uint64_t> get_u64(const Json& object, std::string_view name);
Result<std::uint32_t> get_u32(const Json& object, std::string_view name);
Result<std::uint16_t> get_u16(const Json& object, std::string_view name);
Result<bool> get_bool(const Json& object, std::string_view name);
// The member itself, which must be an array.
Result<const Json*> get_array(const Json& object, std::string_view name);
// Conversions of a value already in hand.
Result<std::string> as_string(const Json& value);
Result<std::uint64_t> as_unsigned(const Json& value, std::uint64_t max);

// Appends `text` as a JSON string: quotation mark, backslash and control
// characters below 0x20 escaped (\b \t \n \f \r, else \u00XX with lowercase hex),
// everything else written as its UTF-8 bytes.
void append_json_string(std::string& out, std::string_view text);

// Writes a value with two spaces of indentation per level, ": " between name and
// value, "[]" and "{}" for empty containers, no line break after the last
// character. Object members come out in the order the value holds them (for
// `Json`, ascending byte order of their names).
// Fails with the JSON library's message (a text that is not valid UTF-8).
Result<std::string> dump_pretty(const Json& value);
Result<std::string> dump_pretty(const OrderedJson& value);
// Compact form, no white space, same string escaping.
Result<std::string> dump_compact(const Json& value);
Result<std::string> dump_compact(const OrderedJson& value);

}  // namespace kio::install::json
