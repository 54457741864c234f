#include "common/uuid.h"

#include <chrono>

#include "common/bytes.h"
#include "common/sodium_ready.h"

namespace kio {
namespace {

constexpr std::size_t kCanonicalLength = 36;

bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

// 32 hex digits, with hyphens at the 8-4-4-4-12 places when `hyphenated`.
std::optional<Uuid> decode_digits(std::string_view text, bool hyphenated) {
  if (text.size() != (hyphenated ? kCanonicalLength : 32)) return std::nullopt;
  Uuid uuid{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (hyphenated && is_hyphen_position(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int hi = hex_digit_value(text[i]);
    const int lo = hex_digit_value(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    uuid[byte++] = static_cast<std::uint8_t>((hi << 4) | lo);
    i += 2;
  }
  return uuid;
}

}  // namespace

std::optional<Uuid> parse_uuid(std::string_view text) {
  if (text.size() == 32) return decode_digits(text, false);
  if (text.size() == kCanonicalLength) return decode_digits(text, true);
  if (text.size() == kCanonicalLength + 2 && text.front() == '{' && text.back() == '}') {
    return decode_digits(text.substr(1, kCanonicalLength), true);
  }
  constexpr std::string_view urn = "urn:uuid:";
  if (text.size() == urn.size() + kCanonicalLength && text.starts_with(urn)) {
    return decode_digits(text.substr(urn.size()), true);
  }
  return std::nullopt;
}

std::optional<Uuid> parse_canonical_uuid(std::string_view text) {
  auto uuid = parse_uuid(text);
  if (!uuid || format_uuid(*uuid) != text) return std::nullopt;
  return uuid;
}

std::string format_uuid(const Uuid& uuid) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(kCanonicalLength);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[uuid[i] >> 4]);
    text.push_back(digits[uuid[i] & 0xF]);
  }
  return text;
}

Uuid new_uuid_v7() {
  sodium_ready();
  Uuid uuid;
  randombytes_buf(uuid.data(), uuid.size());
  const auto ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  for (int i = 0; i < 6; ++i) uuid[i] = static_cast<std::uint8_t>(ms >> (8 * (5 - i)));
  uuid[6] = static_cast<std::uint8_t>(0x70 | (uuid[6] & 0x0F));
  uuid[8] = static_cast<std::uint8_t>(0x80 | (uuid[8] & 0x3F));
  return uuid;
}

}  // namespace kio
