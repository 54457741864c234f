#include <gtest/gtest.h>

#include "p2p/identity.h"
#include "p2p/relationship.h"
#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

SecretKey key_from_hex(const std::string& hex) {
  const auto bytes = test::from_hex(hex);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes.data(), 32));
}

TEST(SessionIdentity, PublicKeyIsBasePointProduct) {
  // RFC 7748, section 6.1 (Alice).
  const auto alice =
      SessionIdentity::from_unsealed_private_key(key_from_hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  ASSERT_TRUE(alice.has_value());
  EXPECT_EQ(test::hex_of({alice->public_key().begin(), alice->public_key().end()}),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  // The key is kept exactly as given, not clamped.
  EXPECT_EQ(alice->private_key().data()[0], 0x77);
}

TEST(SessionIdentity, ZeroKeyIsAcceptedAndClampedByTheMultiplication) {
  const auto zero = SessionIdentity::from_unsealed_private_key(SecretKey{});
  ASSERT_TRUE(zero.has_value());
  // Clamping turns 0 into 2^254; the same scalar written out gives the same key.
  auto clamped_bytes = std::vector<std::uint8_t>(32, 0);
  clamped_bytes[31] = 0x40;
  const auto clamped =
      SessionIdentity::from_unsealed_private_key(SecretKey(std::span<const std::uint8_t, 32>(clamped_bytes.data(), 32)));
  ASSERT_TRUE(clamped.has_value());
  EXPECT_EQ(zero->public_key(), clamped->public_key());
  EXPECT_NE(zero->public_key(), StaticKey{});
}

TEST(ParticipantId, OnlyCanonicalVersion7TextIsAccepted) {
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0", true},
      {"01A0B0D4-97D6-7083-BD74-AB53FB6F92A0", false},  // upper case
      {"01a0b0d4-97d6-7083-bd74-ab53fb6f92A0", false},  // one upper-case digit
      {"01a0b0d497d67083bd74ab53fb6f92a0", false},      // no hyphens
      {"{01a0b0d4-97d6-7083-bd74-ab53fb6f92a0}", false},
      {"urn:uuid:01a0b0d4-97d6-7083-bd74-ab53fb6f92a0", false},
      {" 01a0b0d4-97d6-7083-bd74-ab53fb6f92a0", false},
      {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0\n", false},
      {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a", false},     // short
      {"01a0b0d497-d6-7083-bd74-ab53fb6f92a0", false},    // hyphen misplaced
      {"01a0b0d4-97d6-4083-bd74-ab53fb6f92a0", false},    // version 4
      {"01a0b0d4-97d6-8083-bd74-ab53fb6f92a0", false},    // version 8
      {"01a0b0d4-97d6-7083-0d74-ab53fb6f92a0", true},     // variant bits are not examined
      {"01a0b0d4-97d6-7083-fd74-ab53fb6f92a0", true},
      {"01a0b0d4-97d6-7083-bd74-ab53fb6f92g0", false},
      {"", false},
  };
  for (const auto& c : cases) {
    const auto id = ParticipantId::from_str(c.text);
    EXPECT_EQ(id.has_value(), c.accepted) << c.text;
    if (id) {
      EXPECT_EQ(id->to_string(), c.text);
    } else {
      EXPECT_EQ(id.error().display(), "Invalid participant UUIDv7") << c.text;
    }
  }
}

TEST(ParticipantId, BytesAreTheUuidInStandardOrder) {
  const auto id = ParticipantId::from_str("01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(test::hex_of({id->bytes().begin(), id->bytes().end()}), "01a0b0d497d67083bd74ab53fb6f92a0");
  const auto back = ParticipantId::from_bytes(id->bytes());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, *id);
  auto v4 = id->bytes();
  v4[6] = 0x40;
  EXPECT_FALSE(ParticipantId::from_bytes(v4).has_value());
}

}  // namespace
}  // namespace kio::p2p
