#include "common/utf8.h"

#include <cstring>

namespace kio {
namespace {

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

Utf8Sequence next_utf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {1, true, lead};
  // The lead byte fixes the length and the range of the second byte; the
  // narrowed ranges shut out overlong forms, surrogates and values past U+10FFFF.
  std::size_t need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2, cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3, cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {1, false, 0};
  }
  std::size_t got = 0;
  for (; got < need && at + 1 + got < text.size(); ++got) {
    const auto next = static_cast<unsigned char>(text[at + 1 + got]);
    if (next < (got == 0 ? lo : 0x80) || next > (got == 0 ? hi : 0xBF)) break;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (got < need) return {1 + got, false, 0};
  return {1 + need, true, cp};
}

bool is_valid_utf8(std::string_view text) {
  // Most text here is ASCII (log segments, keys): skip eight bytes at a time
  // while no byte has its high bit set, then decode the rest.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  while (i < text.size()) {
    const Utf8Sequence seq = next_utf8(text, i);
    if (!seq.valid) return false;
    i += seq.length;
  }
  return true;
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Utf8Sequence seq = next_utf8(text, begin);
    if (!seq.valid || !is_white_space(seq.code_point)) break;
    begin += seq.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last sequence (at most 4 bytes).
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const Utf8Sequence seq = next_utf8(text, start);
    if (!seq.valid || start + seq.length != end || !is_white_space(seq.code_point)) break;
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
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Sequence seq = next_utf8(bytes, i);
    if (seq.valid) {
      out.append(bytes.substr(i, seq.length));
    } else {
      out.append(kReplacement);
    }
    i += seq.length;
  }
  return out;
}

}  // namespace kio
