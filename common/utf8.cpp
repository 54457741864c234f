#include "common/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kio {
namespace {

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when invalid.
std::size_t decode_at(std::string_view text, std::size_t i, char32_t& cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const std::size_t n = text.size();
  const unsigned char c = b(i);
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > n) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  // Most text here is ASCII (log segments, keys): skip eight bytes at a time
  // while no byte has its high bit set, then decode the rest.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  char32_t cp;
  while (i < text.size()) {
    const std::size_t len = decode_at(text, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  char32_t cp;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t len = decode_at(text, begin, cp);
    if (len == 0 || !is_white_space(cp)) break;
    begin += len;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last sequence (at most 4 bytes).
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const std::size_t len = decode_at(text, start, cp);
    if (len == 0 || start + len != end || !is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

// Each maximal part of an ill-formed sequence becomes one U+FFFD (the usual
// rule: a cut-off three-byte character is one replacement, not two).
std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      out.append(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (got < need && j < n) {
      const auto d = static_cast<unsigned char>(bytes[j]);
      if (d < (got == 0 ? lo : 0x80) || d > (got == 0 ? hi : 0xBF)) break;
      ++j;
      ++got;
    }
    if (got == need) {
      out.append(bytes.substr(i, j - i));
    } else {
      out.append(kReplacement);
    }
    i = j;
  }
  return out;
}

}  // namespace kio
