#include "p2p/kiofeature_frame.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hx(std::string text) {
  std::erase(text, ' ');
  return test::from_hex(text);
}

// A version-7 feature id (byte 6 is 0x7_).
const std::string kId = "01a0b0d497d67083bd74ab53fb6f92a0";

TEST(ReadVarint, ValuesErrorsAndPosition) {
  struct Case {
    std::string bytes;
    std::string value_or_error;  // decimal value, or "!message"
    std::size_t pos_after;
  };
  const Case cases[] = {
      {"00", "0", 1},
      {"7f", "127", 1},
      {"80 01", "128", 2},
      {"ff 7f", "16383", 2},
      {"80 80 01", "16384", 3},
      {"ff ff ff ff ff ff ff ff 7f", "9223372036854775807", 9},
      {"80 80 80 80 80 80 80 80 80 01", "9223372036854775808", 10},
      {"ff ff ff ff ff ff ff ff ff 01", "18446744073709551615", 10},
      {"05 ff", "5", 1},  // stops after the varint
      {"", "!truncated kiofeature varint", 0},
      {"80", "!truncated kiofeature varint", 1},
      {"ff ff", "!truncated kiofeature varint", 2},
      {"80 00", "!non-canonical kiofeature varint", 2},
      {"80 80 00", "!non-canonical kiofeature varint", 3},
      {"ff 00", "!non-canonical kiofeature varint", 2},
      {"ff ff ff ff ff ff ff ff ff 00", "!non-canonical kiofeature varint", 10},
      {"ff ff ff ff ff ff ff ff ff 02", "!kiofeature varint overflow", 10},
      {"ff ff ff ff ff ff ff ff ff 80", "!kiofeature varint overflow", 10},
      {"ff ff ff ff ff ff ff ff ff 81 00", "!kiofeature varint overflow", 10},
  };
  for (const auto& c : cases) {
    const Bytes bytes = hx(c.bytes);
    std::size_t pos = 0;
    auto got = read_varint(bytes, pos);
    if (c.value_or_error.starts_with("!")) {
      ASSERT_FALSE(got) << c.bytes;
      EXPECT_EQ(got.error(), P2PError::protocol(c.value_or_error.substr(1))) << c.bytes;
    } else {
      ASSERT_TRUE(got) << c.bytes << ": " << got.error().display();
      EXPECT_EQ(std::to_string(*got), c.value_or_error) << c.bytes;
    }
    EXPECT_EQ(pos, c.pos_after) << c.bytes;
  }
}

TEST(ReadVarint, StartsAtTheGivenPositionAndRoundTripsTheEncoder) {
  std::vector<std::uint64_t> values = {0, 1, std::numeric_limits<std::uint64_t>::max()};
  for (int bit = 1; bit < 64; ++bit) {
    values.push_back((std::uint64_t{1} << bit) - 1);
    values.push_back(std::uint64_t{1} << bit);
  }
  for (std::uint64_t v : values) {
    Bytes bytes = {0xAA};  // a byte before the varint, skipped by the start position
    write_varint(bytes, v);
    EXPECT_EQ(bytes.size() - 1, varint_length(v)) << v;
    std::size_t pos = 1;
    auto got = read_varint(bytes, pos);
    ASSERT_TRUE(got) << v << ": " << got.error().display();
    EXPECT_EQ(*got, v);
    EXPECT_EQ(pos, bytes.size());
  }
}

TEST(DecodeExact, RefusesInOrder) {
  struct Case {
    std::string name;
    Bytes bytes;
    P2PError error;
  };
  const Bytes id = hx(kId);
  auto with = [&](const std::string& rest_hex) {
    Bytes b = id;
    const Bytes rest = hx(rest_hex);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  };
  const Bytes version4 = hx("01a0b0d497d64083bd74ab53fb6f92a0");
  const Bytes version8 = hx("01a0b0d497d68083bd74ab53fb6f92a0");
  const Case cases[] = {
      {"empty", {}, P2PError::protocol("truncated kiofeature id")},
      {"15 bytes", Bytes(id.begin(), id.begin() + 15), P2PError::protocol("truncated kiofeature id")},
      {"version 4 id, nothing after", version4, P2PError(P2PErrorKind::InvalidFeatureId)},
      {"version 8 id", version8, P2PError(P2PErrorKind::InvalidFeatureId)},
      {"id only", id, P2PError::protocol("truncated kiofeature varint")},
      {"no length", with("00"), P2PError::protocol("truncated kiofeature varint")},
      {"value 0 as 80 00", with("80 00 00"), P2PError::protocol("non-canonical kiofeature varint")},
      {"long length", with("00 80 00"), P2PError::protocol("non-canonical kiofeature varint")},
      {"value overflow", with("ffffffffffffffffff02 00"), P2PError::protocol("kiofeature varint overflow")},
      {"length 2^64-1", with("00 ffffffffffffffffff01"), P2PError::protocol("kiofeature payload length overflow")},
      // The length ends at offset 27: 2^64 - 27 is the first length whose end overflows.
      {"length 2^64-27", with("00 e5ffffffffffffffff01 aa"),
       P2PError::protocol("kiofeature payload length overflow")},
      {"length 2^64-28", with("00 e4ffffffffffffffff01 aa"),
       P2PError::protocol("kiofeature payload length does not exactly match input")},
      {"length one short", with("00 02 aa bb cc"),
       P2PError::protocol("kiofeature payload length does not exactly match input")},
      {"length one beyond", with("00 04 aa bb cc"),
       P2PError::protocol("kiofeature payload length does not exactly match input")},
  };
  for (const auto& c : cases) {
    auto got = KioFeatureFrame::decode_exact(c.bytes);
    ASSERT_FALSE(got) << c.name;
    EXPECT_EQ(got.error(), c.error) << c.name << ": " << got.error().display();
  }
  // Version-4 id followed by a truncated varint still reports the id.
  Bytes v4_bad = version4;
  v4_bad.push_back(0x80);
  EXPECT_EQ(KioFeatureFrame::decode_exact(v4_bad).error().kind(), P2PErrorKind::InvalidFeatureId);
}

TEST(DecodeExact, DecodesFramesAndCopiesThePayload) {
  const Bytes id = hx(kId);
  auto empty = KioFeatureFrame::decode_exact(hx(kId + "0000"));
  ASSERT_TRUE(empty) << empty.error().display();
  EXPECT_EQ(format_uuid(empty->feature_id), "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");
  EXPECT_EQ(empty->frame_value, 0u);
  EXPECT_TRUE(empty->payload.empty());

  auto frame = KioFeatureFrame::decode_exact(hx(kId + "ac02 03 616263"));
  ASSERT_TRUE(frame) << frame.error().display();
  EXPECT_EQ(frame->frame_value, 300u);
  EXPECT_EQ(frame->payload, test::bytes_of("abc"));

  // Encoder and decoder agree, including values that need all ten varint bytes.
  const Uuid uuid = *parse_uuid("01A0B0D4-97D6-7083-BD74-AB53FB6F92A0");
  for (std::uint64_t value : {std::uint64_t{0}, std::uint64_t{127}, std::uint64_t{1} << 63,
                              std::numeric_limits<std::uint64_t>::max()}) {
    const Bytes payload = test::bytes_of(std::string(value % 1000, 'p'));
    const Bytes encoded = encode_feature_frame(uuid, value, payload);
    auto decoded = KioFeatureFrame::decode_exact(encoded);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(*decoded, (KioFeatureFrame{uuid, value, payload}));
  }
}

TEST(DecodeExact, WholeFrameLimitIsOneMebibyte) {
  const Uuid uuid = *parse_uuid("01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");
  // 16 id bytes + 1 value byte + 3 length bytes + payload = 1048576.
  const Bytes at_limit = encode_feature_frame(uuid, 0, Bytes(1048576 - 20, 0x5A));
  ASSERT_EQ(at_limit.size(), 1048576u);
  auto ok = KioFeatureFrame::decode_exact(at_limit);
  ASSERT_TRUE(ok) << ok.error().display();
  EXPECT_EQ(ok->payload.size(), 1048576u - 20);

  // One byte more is refused before anything else is looked at, even the id.
  Bytes over(1048577, 0);
  auto too_large = KioFeatureFrame::decode_exact(over);
  ASSERT_FALSE(too_large);
  EXPECT_EQ(too_large.error().kind(), P2PErrorKind::MessageTooLarge);
  EXPECT_EQ(too_large.error().display(), "message exceeds the configured maximum");
}

}  // namespace
}  // namespace kio::p2p
