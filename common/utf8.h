// UTF-8: one decoder for every reader of text (validity, trimming, lossy
// display, JSON strings) and one encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kio {

// The error text of text that must be UTF-8 and is not (a key line, a log segment).
inline constexpr std::string_view INVALID_UTF8_TEXT = "stream did not contain valid UTF-8";

// The sequence that starts at text[at] (at < text.size()). A well-formed
// character gives its length and code point; an ill-formed sequence gives the
// length of its longest start that could still have become a character (at
// least one byte), so that a reader can step over it. Overlong forms, encoded
// surrogates and code points beyond U+10FFFF are ill-formed.
struct Utf8Sequence {
  std::size_t length;
  bool valid;
  char32_t code_point;  // when valid
};
Utf8Sequence next_utf8(std::string_view text, std::size_t at);

// Appends the UTF-8 form of a code point below U+110000 that is not a surrogate.
template <class String>
void append_utf8(String& out, char32_t cp) {
  using Char = typename String::value_type;
  if (cp < 0x80) {
    out.push_back(static_cast<Char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<Char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<Char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<Char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<Char>(0x80 | (cp & 0x3F)));
  }
}

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
