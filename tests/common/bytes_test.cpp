#include "common/bytes.h"

#include <gtest/gtest.h>

namespace kio {
namespace {

TEST(Bytes, HexIsLowercaseAndKeepsLeadingZeros) {
  const Bytes bytes = {0x00, 0x0a, 0xff, 0x10};
  EXPECT_EQ(hex_encode(bytes), "000aff10");
  EXPECT_EQ(hex_encode({}), "");
  for (char c : std::string("09afAF")) EXPECT_GE(hex_digit_value(c), 0) << c;
  for (char c : std::string("gG/:@`-")) EXPECT_EQ(hex_digit_value(c), -1) << c;
}

TEST(Bytes, LittleAndBigEndianRoundTrip) {
  const std::uint8_t le[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(load_le<std::uint16_t>(le), 0x0201u);
  EXPECT_EQ(load_le<std::uint32_t>(le), 0x04030201u);
  EXPECT_EQ(load_le<std::uint64_t>(le), 0x8807060504030201ull);
  EXPECT_EQ(load_be<std::uint64_t>(le), 0x0102030405060788ull);

  std::uint8_t out[8] = {};
  store_be<std::uint64_t>(out, 0x0102030405060788ull);
  EXPECT_EQ(Bytes(out, out + 8), Bytes(le, le + 8));
  store_le<std::uint32_t>(out, 0xA1B2C3D4u);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));

  Bytes appended;
  append_le<std::uint16_t>(appended, 0xBEEF);
  append_le<std::uint64_t>(appended, 1);
  EXPECT_EQ(appended, (Bytes{0xEF, 0xBE, 1, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace kio
