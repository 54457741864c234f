// Byte strings and the fixed-width integers of the wire records: hex text, and
// little- and big-endian loads and stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kio {

using Bytes = std::vector<std::uint8_t>;

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
inline std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Two lowercase hex digits per byte, high nibble first.
std::string hex_encode(std::span<const std::uint8_t> bytes);

// The value of one hex digit of either case, or -1.
constexpr int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Unsigned integers of sizeof(T) bytes, least significant byte first.
template <class T>
constexpr T load_le(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | p[i]);
  return value;
}
template <class T>
constexpr void store_le(std::uint8_t* p, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
template <class T>
void append_le(Bytes& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Unsigned integers, most significant byte first.
template <class T>
constexpr T load_be(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | p[i]);
  return value;
}
template <class T>
constexpr void store_be(std::uint8_t* p, T value) {
  for (std::size_t i = sizeof(T); i-- > 0;) {
    p[i] = static_cast<std::uint8_t>(value);
    value = static_cast<T>(value >> 8);
  }
}

}  // namespace kio
