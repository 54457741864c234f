#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kio {

// The error text of text that must be UTF-8 and is not (a key line, a log segment).
inline constexpr std::string_view INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";

bool is_valid_utf8(std::string_view text);
inline bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  return is_valid_utf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Removes leading and trailing characters with the Unicode White_Space property.
// Bytes that do not form valid UTF-8 are never trimmed.
std::string_view trim_unicode_whitespace(std::string_view text);

// Text shown to a person: every invalid UTF-8 sequence becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kio
