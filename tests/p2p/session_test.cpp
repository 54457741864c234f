#include "p2p/session.h"

#include <gtest/gtest.h>

#include "peer/initiator.h"
#include "tests/p2p/p2p_fixtures.h"

namespace kio::p2p {
namespace {

using namespace fixture;
using peer::InitiatorSession;

constexpr std::uint8_t RESPONDER_KEY = 0x52;
constexpr std::uint8_t INITIATOR_KEY = 0x49;

const SocketAddress PEER = *SocketAddress::parse("127.0.0.1:40000");

PeerSession responder(HandshakePattern pattern, std::optional<StaticKey> remote_static = std::nullopt,
                      std::optional<ParticipantId> remote_participant = std::nullopt) {
  static const SessionIdentity identity = identity_of(RESPONDER_KEY);
  auto session = PeerSession::new_responder(77, PEER, identity, participant(RESPONDER_ID), pattern, remote_static,
                                            remote_participant);
  EXPECT_TRUE(session.has_value());
  return std::move(*session);
}

InitiatorSession initiator(HandshakePattern pattern) {
  std::optional<StaticKey> rs;
  if (pattern == HandshakePattern::KK) rs = public_of(RESPONDER_KEY);
  auto session = InitiatorSession::create(77, key_of(INITIATOR_KEY), participant(INITIATOR_ID), pattern, rs);
  EXPECT_TRUE(session.has_value());
  return std::move(*session);
}

// An initiator at the Noise level, free to put any payload into its messages.
noise::HandshakeState raw_initiator(HandshakePattern pattern) {
  noise::HandshakeConfig config;
  config.pattern = pattern;
  config.role = noise::Role::Initiator;
  config.local_static = key_of(INITIATOR_KEY);
  if (pattern == HandshakePattern::KK) config.remote_static = public_of(RESPONDER_KEY);
  return std::move(*noise::HandshakeState::create(std::move(config)));
}

std::vector<std::uint8_t> ciphertext_of(const InitiatorSession& init, std::uint8_t channel, std::uint64_t counter,
                                        std::span<const std::uint8_t> plaintext) {
  const auto datagram = init.data_datagram(channel, counter, plaintext);
  EXPECT_TRUE(datagram.has_value());
  return {datagram->begin() + HEADER_LEN, datagram->end()};
}

const P2PError NOT_COMPLETE(P2PErrorKind::HandshakeNotComplete);

TEST(PeerSession, XxHandshakeThenDataOnSeveralChannels) {
  PeerSession session = responder(HandshakePattern::XX);
  InitiatorSession init = initiator(HandshakePattern::XX);
  EXPECT_TRUE(session.is_responder());
  EXPECT_EQ(session.state(), PeerSession::State::Handshaking);
  EXPECT_FALSE(session.envelope_identity().has_value());
  EXPECT_EQ(session.decrypt_on_channel(0, 0, std::vector<std::uint8_t>(20)).error(), NOT_COMPLETE);

  const auto m1 = init.write_first_message();
  ASSERT_TRUE(m1.has_value());
  EXPECT_EQ(m1->size(), 32u);  // an ephemeral key and nothing else
  auto m2 = session.read_handshake_message(*m1);
  ASSERT_TRUE(m2.has_value()) << m2.error().display();
  ASSERT_TRUE(m2->has_value());
  EXPECT_EQ((*m2)->size(), 32u + 48u + 36u + 16u);
  EXPECT_EQ(session.state(), PeerSession::State::Handshaking);
  EXPECT_EQ(session.messages_read(), 1);
  EXPECT_EQ(session.messages_written(), 1);

  const auto m3 = init.read_reply(**m2);
  ASSERT_TRUE(m3.has_value()) << m3.error().display();
  ASSERT_TRUE(m3->has_value());
  EXPECT_EQ(init.remote_participant(), participant(RESPONDER_ID));
  EXPECT_EQ(init.remote_static(), public_of(RESPONDER_KEY));

  const auto done = session.read_handshake_message(**m3);
  ASSERT_TRUE(done.has_value()) << done.error().display();
  EXPECT_FALSE(done->has_value());
  EXPECT_EQ(session.state(), PeerSession::State::Transport);
  EXPECT_EQ(session.remote_participant(), participant(INITIATOR_ID));
  EXPECT_EQ(session.remote_static(), public_of(INITIATOR_KEY));
  EXPECT_EQ(session.messages_read(), 2);

  for (const std::uint8_t channel : {0, 1, 5, 255}) {
    const auto plain = pattern_bytes(100 + channel, channel);
    const std::uint64_t counter = 0x0000123456789ABCu + channel;
    const auto sealed = ciphertext_of(init, channel, counter, plain);
    EXPECT_EQ(session.decrypt_on_channel(channel, counter, sealed), plain) << int(channel);
    // Again (no replay window), and with different top 8 counter bits (same nonce).
    EXPECT_EQ(session.decrypt_on_channel(channel, counter, sealed), plain);
    EXPECT_EQ(session.decrypt_on_channel(channel, counter | 0xAB00000000000000u, sealed), plain);
    // The channel is part of the nonce.
    EXPECT_EQ(session.decrypt_on_channel(static_cast<std::uint8_t>(channel + 1), counter, sealed).error().kind(),
              P2PErrorKind::Noise);
    EXPECT_EQ(session.decrypt_on_channel(channel, counter + 1, sealed).error().kind(), P2PErrorKind::Noise);
  }
  EXPECT_EQ(session.decrypt_on_channel(0, 0, std::vector<std::uint8_t>(15)).error().kind(), P2PErrorKind::Noise);
  // Decrypting leaves no trace in the replay windows; the manager keeps those.
  EXPECT_EQ(session.replay_windows().size(), 0u);

  EXPECT_EQ(session.read_handshake_message(**m3).error(), NOT_COMPLETE);
  EXPECT_EQ(session.write_handshake_message().error(), NOT_COMPLETE);
  EXPECT_EQ(session.promote_to_transport().error(), NOT_COMPLETE);
  EXPECT_EQ(session.state(), PeerSession::State::Transport);
}

TEST(PeerSession, KkResponderIsInTransportWhenItReplies) {
  PeerSession session = responder(HandshakePattern::KK, public_of(INITIATOR_KEY), participant(INITIATOR_ID));
  EXPECT_EQ(session.envelope_identity(), public_of(INITIATOR_KEY));
  InitiatorSession init = initiator(HandshakePattern::KK);

  const auto m1 = init.write_first_message();
  ASSERT_TRUE(m1.has_value());
  const auto m2 = session.read_handshake_message(*m1);
  ASSERT_TRUE(m2.has_value()) << m2.error().display();
  ASSERT_TRUE(m2->has_value());
  EXPECT_EQ(session.state(), PeerSession::State::Transport);
  EXPECT_EQ(session.remote_participant(), participant(INITIATOR_ID));
  EXPECT_EQ(session.remote_static(), public_of(INITIATOR_KEY));

  const auto none = init.read_reply(**m2);
  ASSERT_TRUE(none.has_value()) << none.error().display();
  EXPECT_FALSE(none->has_value());  // KK has no third message
  const auto plain = pattern_bytes(1466, 3);
  EXPECT_EQ(session.decrypt_on_channel(1, 9, ciphertext_of(init, 1, 9, plain)), plain);
}

TEST(PeerSession, KkNeedsTheRelationshipKey) {
  const SessionIdentity identity = identity_of(RESPONDER_KEY);
  const auto session = PeerSession::new_responder(1, PEER, identity, participant(RESPONDER_ID), HandshakePattern::KK,
                                                   std::nullopt, participant(INITIATOR_ID));
  ASSERT_FALSE(session.has_value());
  EXPECT_EQ(session.error().display(), "Known relationship is missing or not accepted");
}

TEST(PeerSession, KkParticipantOtherThanTheRelationshipsIsRefusedBeforeReplying) {
  PeerSession session = responder(HandshakePattern::KK, public_of(INITIATOR_KEY), participant(STRANGER_ID));
  InitiatorSession init = initiator(HandshakePattern::KK);
  const auto result = session.read_handshake_message(*init.write_first_message());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(), "Stored remote static identity does not match");
  EXPECT_EQ(session.messages_read(), 1);
  EXPECT_EQ(session.messages_written(), 0);
}

TEST(PeerSession, FirstXxMessagePayloadRules) {
  struct Case {
    std::size_t payload_len;
    P2PError error;
    std::uint8_t messages_read;  // a failing Noise step does not count
  };
  const Case cases[] = {
      {36, P2PError::wire_format("participant UUID in initial XX message"), 1},
      {1, P2PError::wire_format("participant UUID in initial XX message"), 1},
      {1025, P2PError::noise("payload too long for buffer"), 0},
  };
  for (const auto& c : cases) {
    PeerSession session = responder(HandshakePattern::XX);
    auto raw = raw_initiator(HandshakePattern::XX);
    const auto m1 = raw.write_message(std::vector<std::uint8_t>(c.payload_len, '7'));
    ASSERT_TRUE(m1.has_value());
    const auto result = session.read_handshake_message(*m1);
    ASSERT_FALSE(result.has_value()) << c.payload_len;
    EXPECT_EQ(result.error(), c.error) << c.payload_len;
    EXPECT_EQ(session.messages_read(), c.messages_read) << c.payload_len;
    EXPECT_EQ(session.messages_written(), 0) << c.payload_len;
  }
}

TEST(PeerSession, ThirdXxMessageMustCarryACanonicalParticipant) {
  struct Case {
    const char* name;
    std::string payload;
    P2PErrorKind kind;
  };
  const Case cases[] = {
      {"empty", "", P2PErrorKind::InvalidParticipantId},
      {"upper case", "0190F3C2-5B7E-7A11-8C3D-1234567890AB", P2PErrorKind::InvalidParticipantId},
      {"version 4", "0190f3c2-5b7e-4a11-8c3d-1234567890ab", P2PErrorKind::InvalidParticipantId},
      {"not UTF-8", std::string("0190f3c2-5b7e-7a11-8c3d-1234567890a\xff"), P2PErrorKind::InvalidParticipantId},
      {"trailing newline", std::string(INITIATOR_ID) + "\n", P2PErrorKind::InvalidParticipantId},
      {"too long for the buffer", std::string(1025, 'a'), P2PErrorKind::Noise},
  };
  for (const auto& c : cases) {
    PeerSession session = responder(HandshakePattern::XX);
    auto raw = raw_initiator(HandshakePattern::XX);
    const auto m2 = session.read_handshake_message(*raw.write_message({}));
    ASSERT_TRUE(m2.has_value() && m2->has_value()) << c.name;
    ASSERT_TRUE(raw.read_message(**m2).has_value()) << c.name;
    const auto m3 = raw.write_message(bytes_of(c.payload));
    ASSERT_TRUE(m3.has_value()) << c.name;
    const auto result = session.read_handshake_message(*m3);
    ASSERT_FALSE(result.has_value()) << c.name;
    EXPECT_EQ(result.error().kind(), c.kind) << c.name;
    EXPECT_EQ(session.messages_read(), c.kind == P2PErrorKind::Noise ? 1 : 2) << c.name;
    EXPECT_EQ(session.state(), PeerSession::State::Handshaking) << c.name;
    EXPECT_FALSE(session.remote_participant().has_value()) << c.name;
  }
}

TEST(PeerSession, FailedPromotionLeavesTheSessionFailed) {
  // An XX responder told to expect another static key than the one presented.
  PeerSession session = responder(HandshakePattern::XX, public_of(0x99));
  InitiatorSession init = initiator(HandshakePattern::XX);
  const auto m2 = session.read_handshake_message(*init.write_first_message());
  ASSERT_TRUE(m2.has_value() && m2->has_value());
  const auto m3 = init.read_reply(**m2);
  ASSERT_TRUE(m3.has_value() && m3->has_value());
  const auto result = session.read_handshake_message(**m3);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), P2PErrorKind::RemoteIdentityMismatch);
  EXPECT_EQ(session.state(), PeerSession::State::Failed);

  EXPECT_EQ(session.read_handshake_message(**m3).error(), NOT_COMPLETE);
  EXPECT_EQ(session.write_handshake_message().error(), NOT_COMPLETE);
  EXPECT_EQ(session.promote_to_transport().error(), NOT_COMPLETE);
  EXPECT_EQ(session.decrypt_on_channel(0, 0, ciphertext_of(init, 0, 0, bytes_of("x"))).error(), NOT_COMPLETE);
}

TEST(PeerSession, PromotingBeforeThePeerIsKnownFails) {
  // XX after message 1: no static key learned yet.
  PeerSession xx = responder(HandshakePattern::XX);
  InitiatorSession init = initiator(HandshakePattern::XX);
  ASSERT_TRUE(xx.read_handshake_message(*init.write_first_message()).has_value());
  EXPECT_EQ(xx.promote_to_transport().error().kind(), P2PErrorKind::RemoteIdentityMismatch);
  EXPECT_EQ(xx.state(), PeerSession::State::Failed);

  // KK before any message: the key is known but no participant was received.
  PeerSession kk = responder(HandshakePattern::KK, public_of(INITIATOR_KEY));
  EXPECT_EQ(kk.promote_to_transport().error().kind(), P2PErrorKind::RemoteIdentityMismatch);
  EXPECT_EQ(kk.state(), PeerSession::State::Failed);
}

TEST(PeerSession, NoiseFailureLeavesCountAndHandshakeUnchanged) {
  PeerSession session = responder(HandshakePattern::KK, public_of(INITIATOR_KEY));
  InitiatorSession init = initiator(HandshakePattern::KK);
  auto m1 = *init.write_first_message();
  auto forged = m1;
  forged.back() ^= 1;
  EXPECT_EQ(session.read_handshake_message(forged).error().kind(), P2PErrorKind::Noise);
  EXPECT_EQ(session.read_handshake_message(std::vector<std::uint8_t>(10)).error().kind(), P2PErrorKind::Noise);
  EXPECT_EQ(session.messages_read(), 0);
  EXPECT_EQ(session.state(), PeerSession::State::Handshaking);
  // The genuine message still completes the handshake.
  const auto m2 = session.read_handshake_message(m1);
  ASSERT_TRUE(m2.has_value()) << m2.error().display();
  EXPECT_EQ(session.state(), PeerSession::State::Transport);
}

TEST(InitiatorSession, CountsPacketsPerChannel) {
  PeerSession session = responder(HandshakePattern::KK, public_of(INITIATOR_KEY));
  InitiatorSession init = initiator(HandshakePattern::KK);
  ASSERT_TRUE(init.read_reply(**session.read_handshake_message(*init.write_first_message())).has_value());
  const auto counter_of = [](const std::vector<std::uint8_t>& datagram) {
    return decode_packet(datagram)->header.counter;
  };
  EXPECT_EQ(counter_of(*init.next_data_datagram(4, bytes_of("a"))), 0u);
  EXPECT_EQ(counter_of(*init.next_data_datagram(4, bytes_of("b"))), 1u);
  EXPECT_EQ(counter_of(*init.next_data_datagram(2, bytes_of("c"))), 0u);
  EXPECT_EQ(counter_of(*init.data_datagram(4, 99, bytes_of("d"))), 99u);
  EXPECT_EQ(counter_of(*init.next_data_datagram(4, bytes_of("e"))), 2u);
  // A refused packet does not use up a counter.
  EXPECT_EQ(init.next_data_datagram(4, pattern_bytes(MAX_DATA_PLAINTEXT_LEN + 1, 0)).error().kind(),
            P2PErrorKind::MessageTooLarge);
  EXPECT_EQ(init.next_counter(4), 3u);
  // Channel 255 at the last 56-bit counter would be the reserved nonce.
  EXPECT_EQ(init.data_datagram(255, COUNTER_NONCE_MASK, bytes_of("x")).error(), P2PError::noise("reserved nonce"));
}

}  // namespace
}  // namespace kio::p2p
