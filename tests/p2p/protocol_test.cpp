#include "p2p/protocol.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using test::from_hex;
using test::hex_of;

std::vector<std::uint8_t> header_bytes(std::uint8_t type, const std::string& session_hex, std::uint8_t channel,
                                       const std::string& counter_hex, std::size_t payload_len = 0) {
  std::vector<std::uint8_t> out{type};
  const auto s = from_hex(session_hex);
  const auto c = from_hex(counter_hex);
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(channel);
  out.insert(out.end(), c.begin(), c.end());
  out.resize(out.size() + payload_len, 0xAB);
  return out;
}

TEST(PacketHeader, DecodesBigEndianFieldsAndPayloadView) {
  const auto bytes = header_bytes(1, "0102030405060708", 0xFE, "f1f2f3f4f5f6f7f8", 3);
  const auto packet = decode_packet(bytes);
  ASSERT_TRUE(packet.has_value());
  EXPECT_EQ(packet->header.msg_type, MsgType::Data);
  EXPECT_EQ(packet->header.session_id, 0x0102030405060708u);
  EXPECT_EQ(packet->header.channel_id, 0xFE);
  EXPECT_EQ(packet->header.counter, 0xF1F2F3F4F5F6F7F8u);
  EXPECT_EQ(packet->payload.data(), bytes.data() + 18);
  EXPECT_EQ(packet->payload.size(), 3u);

  // encode_packet writes the same layout back.
  EXPECT_EQ(encode_packet(MsgType::Data, 0x0102030405060708u, 0xFE, 0xF1F2F3F4F5F6F7F8u, packet->payload), bytes);
}

TEST(PacketHeader, RefusesShortDatagramsBeforeUnknownTypes) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::string error;  // empty: accepted
  };
  std::vector<std::uint8_t> seventeen(17, 0);
  std::vector<std::uint8_t> ten_type3(10, 0);
  ten_type3[0] = 3;
  std::vector<std::uint8_t> eighteen_type3(18, 0);
  eighteen_type3[0] = 3;
  std::vector<std::uint8_t> eighteen_type255(18, 0);
  eighteen_type255[0] = 0xFF;
  std::vector<std::uint8_t> eighteen_type1(18, 0);
  eighteen_type1[0] = 1;
  const Case cases[] = {
      {{}, "buffer too small for header decode"},
      {seventeen, "buffer too small for header decode"},
      {ten_type3, "buffer too small for header decode"},
      {eighteen_type3, "invalid msg_type"},
      {eighteen_type255, "invalid msg_type"},
      {eighteen_type1, ""},
  };
  for (const auto& c : cases) {
    const auto packet = decode_packet(c.bytes);
    if (c.error.empty()) {
      ASSERT_TRUE(packet.has_value()) << hex_of(c.bytes);
      EXPECT_TRUE(packet->payload.empty());
    } else {
      ASSERT_FALSE(packet.has_value()) << hex_of(c.bytes);
      EXPECT_EQ(packet.error().display(), "Wire format error: " + c.error);
    }
  }
}

TEST(PacketHeader, DiscoveryCheck) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool accepted;
  };
  const Case cases[] = {
      {"1 byte", header_bytes(2, "0000000000000000", 0, "0000000000000000", 1), true},
      {"1024 bytes", header_bytes(2, "0000000000000000", 0, "0000000000000000", 1024), true},
      {"empty", header_bytes(2, "0000000000000000", 0, "0000000000000000", 0), false},
      {"1025 bytes", header_bytes(2, "0000000000000000", 0, "0000000000000000", 1025), false},
      {"session id", header_bytes(2, "0000000000000100", 0, "0000000000000000", 4), false},
      {"channel", header_bytes(2, "0000000000000000", 1, "0000000000000000", 4), false},
      {"counter top byte", header_bytes(2, "0000000000000000", 0, "8000000000000000", 4), false},
  };
  for (const auto& c : cases) {
    const auto packet = decode_packet(c.bytes);
    ASSERT_TRUE(packet.has_value()) << c.name;
    const auto checked = check_discovery(*packet);
    EXPECT_EQ(checked.has_value(), c.accepted) << c.name;
    if (!checked) {
      EXPECT_EQ(checked.error(), P2PError::wire_format("invalid discovery packet")) << c.name;
    }
  }
}

std::vector<std::uint8_t> envelope(std::uint8_t version, std::uint8_t selector, std::vector<std::uint8_t> identity,
                                   std::size_t message_len, std::string magic = "KIHS") {
  std::vector<std::uint8_t> out(magic.begin(), magic.end());
  out.push_back(version);
  out.push_back(selector);
  identity.resize(32, 0);
  out.insert(out.end(), identity.begin(), identity.end());
  for (std::size_t i = 0; i < message_len; ++i) out.push_back(static_cast<std::uint8_t>(i + 1));
  return out;
}

TEST(HandshakeEnvelope, DecodingRules) {
  const std::vector<std::uint8_t> key(32, 0x11);
  std::vector<std::uint8_t> one_nonzero(32, 0);
  one_nonzero[31] = 1;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string error;
  };
  const Case cases[] = {
      {"no noise message", envelope(1, 0, {}, 0), "invalid handshake envelope"},
      {"bad magic", envelope(1, 0, {}, 5, "KIHT"), "invalid handshake envelope"},
      {"version 2", envelope(2, 0, {}, 5), "invalid handshake envelope"},
      {"version 0", envelope(0, 1, key, 5), "invalid handshake envelope"},
      {"XX with identity byte", envelope(1, 0, one_nonzero, 5), "invalid handshake pattern selector"},
      {"KK with zero identity", envelope(1, 1, {}, 5), "invalid handshake pattern selector"},
      {"selector 2", envelope(1, 2, {}, 5), "invalid handshake pattern selector"},
      {"selector 2 with identity", envelope(1, 2, key, 5), "invalid handshake pattern selector"},
      {"XX shortest", envelope(1, 0, {}, 1), ""},
      {"KK", envelope(1, 1, key, 7), ""},
      {"KK one non-zero byte", envelope(1, 1, one_nonzero, 1), ""},
  };
  for (const auto& c : cases) {
    const auto decoded = decode_handshake(c.bytes);
    if (!c.error.empty()) {
      ASSERT_FALSE(decoded.has_value()) << c.name;
      EXPECT_EQ(decoded.error(), P2PError::wire_format(c.error)) << c.name;
      continue;
    }
    ASSERT_TRUE(decoded.has_value()) << c.name << ": " << decoded.error().display();
    EXPECT_EQ(decoded->pattern, c.bytes[5] == 1 ? HandshakePattern::KK : HandshakePattern::XX) << c.name;
    EXPECT_EQ(decoded->noise_message.data(), c.bytes.data() + 38) << c.name;
    EXPECT_EQ(decoded->noise_message.size(), c.bytes.size() - 38) << c.name;
    if (decoded->pattern == HandshakePattern::KK) {
      ASSERT_TRUE(decoded->identity.has_value());
      EXPECT_TRUE(std::equal(decoded->identity->begin(), decoded->identity->end(), c.bytes.begin() + 6)) << c.name;
    } else {
      EXPECT_FALSE(decoded->identity.has_value()) << c.name;
    }
  }
}

TEST(HandshakeEnvelope, EncodingRules) {
  StaticKey key;
  key.fill(0x22);
  const std::vector<std::uint8_t> message = {0xAA, 0xBB};

  const auto xx_empty = encode_handshake(HandshakePattern::XX, std::nullopt, {});
  ASSERT_TRUE(xx_empty.has_value());
  EXPECT_EQ(hex_of(*xx_empty), "4b49485301" "00" + std::string(64, '0'));

  const auto kk = encode_handshake(HandshakePattern::KK, key, message);
  ASSERT_TRUE(kk.has_value());
  EXPECT_EQ(hex_of(*kk), "4b49485301" "01" + hex_of(std::vector<std::uint8_t>(32, 0x22)) + "aabb");
  // The encoder writes an all-zero KK identity as given; only the decoder refuses it.
  EXPECT_TRUE(encode_handshake(HandshakePattern::KK, StaticKey{}, message).has_value());

  const auto invalid = P2PError::wire_format("invalid handshake identity selector");
  EXPECT_EQ(encode_handshake(HandshakePattern::KK, std::nullopt, message).error(), invalid);
  EXPECT_EQ(encode_handshake(HandshakePattern::XX, key, message).error(), invalid);

  // Round trip through the decoder.
  const auto decoded = decode_handshake(*kk);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->identity, key);
  EXPECT_EQ(std::vector<std::uint8_t>(decoded->noise_message.begin(), decoded->noise_message.end()), message);
}

TEST(DataNonce, ChannelOnTopAndCounterTopByteIgnored) {
  EXPECT_EQ(data_nonce(0, 0), 0u);
  EXPECT_EQ(data_nonce(1, 0), 0x0100000000000000u);
  EXPECT_EQ(data_nonce(0xAB, 0x0000000000000005u), 0xAB00000000000005u);
  EXPECT_EQ(data_nonce(0xAB, 0xFF00000000000005u), 0xAB00000000000005u);
  EXPECT_EQ(data_nonce(0x00, 0x12FFFFFFFFFFFFFFu), 0x00FFFFFFFFFFFFFFu);
  EXPECT_EQ(data_nonce(0xFF, 0xFFFFFFFFFFFFFFFFu), 0xFFFFFFFFFFFFFFFFu);
}

}  // namespace
}  // namespace kio::p2p
