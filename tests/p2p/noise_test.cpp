#include "p2p/noise.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "p2p/noise_testing.h"
#include "tests/support/test_support.h"

namespace kio::p2p::noise {
namespace {

using test::from_hex;
using test::hex_of;

SecretKey key_hex(const std::string& hex) {
  const auto bytes = from_hex(hex);
  EXPECT_EQ(bytes.size(), 32u);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes.data(), 32));
}

StaticKey static_hex(const std::string& hex) {
  const auto bytes = from_hex(hex);
  StaticKey key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

StaticKey public_of(const std::string& private_hex) {
  const auto priv = from_hex(private_hex);
  StaticKey pub;
  EXPECT_EQ(crypto_scalarmult_base(pub.data(), priv.data()), 0);
  return pub;
}

std::string hex(std::span<const std::uint8_t> bytes) { return hex_of({bytes.begin(), bytes.end()}); }

struct Message {
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> ciphertext;
};

struct Vector {
  std::string name;
  HandshakePattern pattern;
  nlohmann::json json;
  std::vector<Message> messages;
};

std::vector<Vector> load_vectors() {
  const auto path = test::data_path("noise-vectors.json");
  std::ifstream in(path);
  if (!in.good()) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  const auto doc = nlohmann::json::parse(in);
  std::vector<Vector> out;
  for (const auto& v : doc.at("vectors")) {
    const std::string protocol = v.at("protocol_name");
    Vector vec{v.at("source").get<std::string>() + " " + protocol,
               protocol == "Noise_KK_25519_ChaChaPoly_BLAKE2b" ? HandshakePattern::KK : HandshakePattern::XX, v, {}};
    EXPECT_EQ(protocol, protocol_name(vec.pattern));
    for (const auto& m : v.at("messages")) {
      vec.messages.push_back({from_hex(m.at("payload")), from_hex(m.at("ciphertext"))});
    }
    out.push_back(std::move(vec));
  }
  return out;
}

// Plays one role of a vector against the recorded bytes of the other: every
// message this role writes must match byte for byte, and every message it reads
// must yield the recorded payload.
void play_role(const Vector& v, Role role) {
  const bool initiator = role == Role::Initiator;
  const std::string me = initiator ? "init_" : "resp_";
  const std::string peer = initiator ? "resp_" : "init_";
  SCOPED_TRACE(v.name + (initiator ? " as initiator" : " as responder"));

  HandshakeConfig config;
  config.pattern = v.pattern;
  config.role = role;
  config.local_static = key_hex(v.json.at(me + "static"));
  config.prologue = from_hex(v.json.at(me + "prologue"));
  if (v.pattern == HandshakePattern::KK) config.remote_static = static_hex(v.json.at(me + "remote_static"));
  auto hs = HandshakeState::create(std::move(config));
  ASSERT_TRUE(hs.has_value()) << hs.error().display();
  ASSERT_TRUE(HandshakeTestSeam::use_fixed_ephemeral(*hs, key_hex(v.json.at(me + "ephemeral"))).has_value());

  const std::size_t handshake_len = v.pattern == HandshakePattern::KK ? 2 : 3;
  ASSERT_GT(v.messages.size(), handshake_len);
  for (std::size_t i = 0; i < handshake_len; ++i) {
    const bool mine = (i % 2 == 0) == initiator;
    ASSERT_EQ(hs->is_my_turn(), mine) << "message " << i;
    if (mine) {
      const auto written = hs->write_message(v.messages[i].payload);
      ASSERT_TRUE(written.has_value()) << written.error().display();
      EXPECT_EQ(hex(*written), hex(v.messages[i].ciphertext)) << "message " << i;
    } else {
      const auto read = hs->read_message(v.messages[i].ciphertext);
      ASSERT_TRUE(read.has_value()) << "message " << i << ": " << read.error().display();
      EXPECT_EQ(hex(*read), hex(v.messages[i].payload)) << "message " << i;
    }
  }
  ASSERT_TRUE(hs->is_finished());
  EXPECT_EQ(hex(hs->handshake_hash()), v.json.at("handshake_hash").get<std::string>());
  EXPECT_EQ(hs->remote_static(), public_of(v.json.at(peer + "static")));

  const auto transport = hs->into_stateless_transport();
  ASSERT_TRUE(transport.has_value());
  std::uint64_t send_nonce = 0, receive_nonce = 0;
  for (std::size_t i = handshake_len; i < v.messages.size(); ++i) {
    const Message& m = v.messages[i];
    if ((i % 2 == 0) == initiator) {
      std::vector<std::uint8_t> out(m.payload.size() + TAG_LEN);
      const auto n = transport->encrypt(send_nonce++, m.payload, out);
      ASSERT_TRUE(n.has_value());
      EXPECT_EQ(hex(out), hex(m.ciphertext)) << "transport message " << i;
    } else {
      std::vector<std::uint8_t> out(m.ciphertext.size() - TAG_LEN);
      const auto n = transport->decrypt(receive_nonce++, m.ciphertext, out);
      ASSERT_TRUE(n.has_value()) << "transport message " << i << ": " << n.error().display();
      EXPECT_EQ(hex(out), hex(m.payload)) << "transport message " << i;
    }
  }
}

TEST(NoiseVectors, EveryVectorInBothRoles) {
  const auto vectors = load_vectors();
  ASSERT_EQ(vectors.size(), 4u);
  for (const auto& v : vectors) {
    play_role(v, Role::Initiator);
    play_role(v, Role::Responder);
  }
}

// A rejected message, read or written, leaves the handshake as it was: the
// genuine message still reads or writes afterwards and the rest of the vector
// still matches.
TEST(NoiseHandshake, FailedReadOrWriteChangesNothing) {
  for (const auto& v : load_vectors()) {
    SCOPED_TRACE(v.name);
    HandshakeConfig config;
    config.pattern = v.pattern;
    config.role = Role::Initiator;
    config.local_static = key_hex(v.json.at("init_static"));
    config.prologue = from_hex(v.json.at("init_prologue"));
    if (v.pattern == HandshakePattern::KK) config.remote_static = static_hex(v.json.at("init_remote_static"));
    auto hs = HandshakeState::create(std::move(config));
    ASSERT_TRUE(hs.has_value());
    ASSERT_TRUE(HandshakeTestSeam::use_fixed_ephemeral(*hs, key_hex(v.json.at("init_ephemeral"))).has_value());
    // A write refused for its length has already drawn e and, for KK, mixed
    // keys and sealed the payload in its working copy: none of it may stay.
    EXPECT_EQ(hs->write_message(v.messages[0].payload, v.messages[0].ciphertext.size() - 1).error(),
              P2PError::noise("message too long"));
    const auto first = hs->write_message(v.messages[0].payload);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(hex(*first), hex(v.messages[0].ciphertext));

    auto tampered = v.messages[1].ciphertext;
    tampered.back() ^= 0x01;
    const auto bad = hs->read_message(tampered);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error(), P2PError::noise("decrypt error"));
    const std::vector<std::uint8_t> truncated(v.messages[1].ciphertext.begin(), v.messages[1].ciphertext.begin() + 40);
    EXPECT_EQ(hs->read_message(truncated).error(), P2PError::noise("input too short"));
    // Too small a payload buffer is refused as well, without effect.
    EXPECT_EQ(hs->read_message(v.messages[1].ciphertext, v.messages[1].payload.size() - 1).error().kind(),
              P2PErrorKind::Noise);

    const auto good = hs->read_message(v.messages[1].ciphertext);
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(hex(*good), hex(v.messages[1].payload));
    if (v.pattern == HandshakePattern::XX) {
      EXPECT_EQ(hs->write_message(v.messages[2].payload, v.messages[2].ciphertext.size() - 1).error(),
                P2PError::noise("message too long"));
      const auto third = hs->write_message(v.messages[2].payload);
      ASSERT_TRUE(third.has_value());
      EXPECT_EQ(hex(*third), hex(v.messages[2].ciphertext));
    }
    EXPECT_EQ(hex(hs->handshake_hash()), v.json.at("handshake_hash").get<std::string>());
  }
}

// Outside the test seam every handshake draws an ephemeral key of its own: two
// handshakes with the same static keys start with different e.
TEST(NoiseHandshake, EveryHandshakeDrawsItsOwnEphemeral) {
  for (const HandshakePattern pattern : {HandshakePattern::XX, HandshakePattern::KK}) {
    SCOPED_TRACE(protocol_name(pattern));
    std::vector<std::string> ephemerals;
    for (int i = 0; i < 2; ++i) {
      HandshakeConfig config;
      config.pattern = pattern;
      config.role = Role::Initiator;
      config.local_static = key_hex(std::string(64, '1'));
      if (pattern == HandshakePattern::KK) config.remote_static = public_of(std::string(64, '2'));
      auto hs = HandshakeState::create(std::move(config));
      ASSERT_TRUE(hs.has_value());
      const auto first = hs->write_message({});
      ASSERT_TRUE(first.has_value());
      ASSERT_GE(first->size(), DH_LEN);
      ephemerals.push_back(hex(std::span(*first).first(DH_LEN)));
    }
    EXPECT_NE(ephemerals[0], ephemerals[1]);
  }
}

TEST(NoiseHandshake, RefusesOutOfOrderUseAndMissingKeys) {
  HandshakeConfig kk;
  kk.pattern = HandshakePattern::KK;
  kk.role = Role::Responder;
  EXPECT_EQ(HandshakeState::create(kk).error().kind(), P2PErrorKind::Noise);  // no remote static key

  HandshakeConfig xx;
  xx.pattern = HandshakePattern::XX;
  xx.role = Role::Responder;
  auto responder = HandshakeState::create(std::move(xx));
  ASSERT_TRUE(responder.has_value());
  EXPECT_EQ(responder->write_message({}).error().kind(), P2PErrorKind::Noise);  // the initiator speaks first
  EXPECT_EQ(responder->into_stateless_transport().error().kind(), P2PErrorKind::Noise);
  EXPECT_EQ(responder->read_message(std::vector<std::uint8_t>(31, 9)).error(), P2PError::noise("input too short"));
  // Too long for the caller's message limit: refused and not consumed.
  EXPECT_FALSE(responder->read_message(std::vector<std::uint8_t>(32 + 10, 9), 9).has_value());
  EXPECT_TRUE(responder->read_message(std::vector<std::uint8_t>(32 + 10, 9), 10).has_value());
  EXPECT_EQ(responder->write_message({}, 10).error(), P2PError::noise("message too long"));
  EXPECT_TRUE(responder->write_message({}).has_value());
  EXPECT_EQ(responder->write_message({}).error().kind(), P2PErrorKind::Noise);  // not our turn again
}

TEST(NoiseTransport, NonceAndLengthRules) {
  // Any finished handshake will do: run XX between two fresh parties.
  HandshakeConfig a, b;
  a.pattern = b.pattern = HandshakePattern::XX;
  a.role = Role::Initiator;
  b.role = Role::Responder;
  a.local_static = key_hex(std::string(64, '1'));
  b.local_static = key_hex(std::string(64, '2'));
  auto init = HandshakeState::create(std::move(a));
  auto resp = HandshakeState::create(std::move(b));
  ASSERT_TRUE(init && resp);
  ASSERT_TRUE(resp->read_message(*init->write_message({})).has_value());
  ASSERT_TRUE(init->read_message(*resp->write_message({})).has_value());
  ASSERT_TRUE(resp->read_message(*init->write_message({})).has_value());
  EXPECT_EQ(init->handshake_hash(), resp->handshake_hash());
  auto ti = init->into_stateless_transport();
  auto tr = resp->into_stateless_transport();
  ASSERT_TRUE(ti && tr);

  const std::vector<std::uint8_t> text = {1, 2, 3};
  std::vector<std::uint8_t> sealed(text.size() + TAG_LEN), opened(text.size());
  ASSERT_TRUE(ti->encrypt(0x0500000000000001u, text, sealed).has_value());
  ASSERT_TRUE(tr->decrypt(0x0500000000000001u, sealed, opened).has_value());
  EXPECT_EQ(opened, text);
  // The same packet opens again: there is no replay window at this level.
  EXPECT_TRUE(tr->decrypt(0x0500000000000001u, sealed, opened).has_value());
  // Wrong nonce, wrong direction, tampered tag.
  EXPECT_EQ(tr->decrypt(0x0600000000000001u, sealed, opened).error(), P2PError::noise("decrypt error"));
  EXPECT_EQ(ti->decrypt(0x0500000000000001u, sealed, opened).error(), P2PError::noise("decrypt error"));
  sealed.back() ^= 0x80;
  std::fill(opened.begin(), opened.end(), 0xEE);
  EXPECT_EQ(tr->decrypt(0x0500000000000001u, sealed, opened).error(), P2PError::noise("decrypt error"));
  // Nothing deciphered from an unauthenticated packet is left behind.
  EXPECT_EQ(opened, std::vector<std::uint8_t>(text.size(), 0));

  EXPECT_EQ(tr->decrypt(1, std::vector<std::uint8_t>(15, 0), opened).error(), P2PError::noise("input too short"));
  EXPECT_EQ(ti->encrypt(RESERVED_NONCE, text, sealed).error(), P2PError::noise("reserved nonce"));
  EXPECT_EQ(tr->decrypt(RESERVED_NONCE, sealed, opened).error(), P2PError::noise("reserved nonce"));
  std::vector<std::uint8_t> small(text.size() + TAG_LEN - 1);
  EXPECT_EQ(ti->encrypt(0, text, small).error(), P2PError::noise("output buffer too small"));

  // An empty plaintext is just a tag.
  std::vector<std::uint8_t> tag_only(TAG_LEN);
  ASSERT_TRUE(ti->encrypt(7, {}, tag_only).has_value());
  std::vector<std::uint8_t> none;
  const auto n = tr->decrypt(7, tag_only, none);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
}

}  // namespace
}  // namespace kio::p2p::noise
