#include "peer/peer_client.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/os_error.h"
#include "tests/p2p/p2p_fixtures.h"
#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using namespace fixture;
using namespace std::chrono_literals;
using peer::PeerClient;

constexpr std::uint8_t RESPONDER_KEY = 0x52;
constexpr std::uint8_t INITIATOR_KEY = 0x49;

struct Responder {
  explicit Responder(std::shared_ptr<RelationshipLookup> lookup = nullptr) {
    auto manager = P2PManager::with_relationship_lookup(*SocketAddress::parse("127.0.0.1:0"), participant(RESPONDER_ID),
                                                        identity_of(RESPONDER_KEY), std::move(lookup));
    EXPECT_TRUE(manager.has_value());
    address = *manager->local_addr();
    pump.emplace(std::move(*manager));
  }
  SocketAddress address;
  std::optional<ManagerPump> pump;
};

P2PResult<PeerClient> connect(const Responder& r, HandshakePattern pattern, std::uint64_t id,
                              std::chrono::milliseconds timeout = 3000ms) {
  std::optional<std::array<std::uint8_t, 32>> rs;
  if (pattern == HandshakePattern::KK) rs = public_of(RESPONDER_KEY);
  return PeerClient::connect(r.address, key_of(INITIATOR_KEY), participant(INITIATOR_ID), pattern, rs, id, timeout);
}

std::shared_ptr<TestLookup> accepting_lookup() {
  auto lookup = std::make_shared<TestLookup>();
  lookup->records.push_back({participant(INITIATOR_ID), public_of(INITIATOR_KEY), RelationshipRecord::STATE_ACCEPTED});
  return lookup;
}

TEST(PeerClient, HandshakesThenSendsOnSeveralChannels) {
  for (const auto pattern : {HandshakePattern::XX, HandshakePattern::KK}) {
    SCOPED_TRACE(pattern == HandshakePattern::XX ? "XX" : "KK");
    Responder responder(accepting_lookup());
    auto client = connect(responder, pattern, 0xC0FFEE);
    ASSERT_TRUE(client.has_value()) << client.error().display();
    EXPECT_EQ(client->remote_static(), public_of(RESPONDER_KEY));
    EXPECT_EQ(client->remote_participant(), participant(RESPONDER_ID));
    EXPECT_EQ(client->session_id(), 0xC0FFEEu);
    const SocketAddress me = *client->local_addr();

    // Interleaved channels, each with its own counter from 0.
    const std::uint8_t channels[] = {0, 1, 0, 9, 1, 0};
    for (std::size_t i = 0; i < std::size(channels); ++i) {
      const auto plain = pattern_bytes(10 + i * 100, static_cast<std::uint8_t>(i));
      ASSERT_TRUE(client->send(channels[i], plain).has_value());
      const ReceivedMessage m = responder.pump->next_message();
      EXPECT_EQ(m.payload, plain) << i;
      EXPECT_EQ(m.channel_id, channels[i]) << i;
      EXPECT_EQ(m.session_id, 0xC0FFEEu);
      EXPECT_EQ(m.from, me);
    }
  }
}

TEST(PeerClient, PerChannelCountersAndExplicitCounters) {
  Responder responder;
  auto client = connect(responder, HandshakePattern::XX, 3);
  ASSERT_TRUE(client.has_value()) << client.error().display();
  ASSERT_TRUE(client->send(4, bytes_of("a")).has_value());
  ASSERT_TRUE(client->send(4, bytes_of("b")).has_value());
  ASSERT_TRUE(client->send(2, bytes_of("c")).has_value());
  // Same nonce as counter 7 on channel 4: the first opens, the second is a replay.
  ASSERT_TRUE(client->send_with_counter(4, 0xAB00000000000007u, bytes_of("d")).has_value());
  ASSERT_TRUE(client->send_with_counter(4, 7, bytes_of("e")).has_value());
  ASSERT_TRUE(client->send(4, bytes_of("f")).has_value());  // explicit sends leave the counter alone
  const std::pair<std::uint8_t, std::string> expected[] = {{4, "a"}, {4, "b"}, {2, "c"}, {4, "d"}, {4, "f"}};
  for (const auto& [channel, text] : expected) {
    const ReceivedMessage m = responder.pump->next_message();
    EXPECT_EQ(m.channel_id, channel);
    EXPECT_EQ(m.payload, test::bytes_of(text));
  }
}

TEST(PeerClient, PlaintextLimitIsWhatOneDatagramCarries) {
  Responder responder;
  auto client = connect(responder, HandshakePattern::XX, 4);
  ASSERT_TRUE(client.has_value()) << client.error().display();
  const auto refused = client->send(0, pattern_bytes(MAX_DATA_PLAINTEXT_LEN + 1, 0));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), P2PErrorKind::MessageTooLarge);
  const auto largest = pattern_bytes(MAX_DATA_PLAINTEXT_LEN, 1);
  ASSERT_TRUE(client->send(0, largest).has_value());
  EXPECT_EQ(responder.pump->next_message().payload, largest);
}

TEST(PeerClient, RawDatagramsReachTheResponderUnchanged) {
  Responder responder;
  auto client = connect(responder, HandshakePattern::XX, 5);
  ASSERT_TRUE(client.has_value());
  ASSERT_TRUE(client->send_datagram(std::vector<std::uint8_t>(17, 0)).has_value());
  auto outcome = responder.pump->next();
  ASSERT_TRUE(outcome.has_value());
  ASSERT_FALSE(outcome->has_value());
  EXPECT_EQ(outcome->error().display(), "Wire format error: buffer too small for header decode");
}

TEST(PeerClient, RefusedKkEndsInATimeout) {
  Responder responder;  // knows nobody
  const auto start = std::chrono::steady_clock::now();
  auto client = connect(responder, HandshakePattern::KK, 6, 200ms);
  ASSERT_FALSE(client.has_value());
  EXPECT_EQ(client.error().display(), "IO error: Connection timed out (os error 110)");
  EXPECT_TRUE(peer::answered_nothing(client.error()));
  EXPECT_FALSE(peer::nothing_listens(client.error()));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
  auto outcome = responder.pump->next();
  ASSERT_TRUE(outcome.has_value());
  ASSERT_FALSE(outcome->has_value());
  EXPECT_EQ(outcome->error().kind(), P2PErrorKind::RelationshipNotAccepted);
}

// The system's port unreachable reply ends the wait at once, and is told apart
// from a responder that stays silent.
TEST(PeerClient, NothingListeningIsKnownBeforeTheTimeout) {
  const auto target = *SocketAddress::parse("127.0.0.1:" + std::to_string(test::closed_udp_port()));
  for (const auto pattern : {HandshakePattern::XX, HandshakePattern::KK}) {
    SCOPED_TRACE(pattern == HandshakePattern::XX ? "XX" : "KK");
    std::optional<std::array<std::uint8_t, 32>> rs;
    if (pattern == HandshakePattern::KK) rs = public_of(RESPONDER_KEY);
    const auto start = std::chrono::steady_clock::now();
    auto client = PeerClient::connect(target, key_of(INITIATOR_KEY), participant(INITIATOR_ID), pattern, rs, 8, 10s);
    ASSERT_FALSE(client.has_value());
    EXPECT_TRUE(peer::nothing_listens(client.error())) << client.error().display();
    EXPECT_FALSE(peer::answered_nothing(client.error()));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  }
}

// Whether nothing listens, or nothing answered, is told by the system's code
// that the error carries, never by its text.
TEST(PeerClient, FailuresAreToldByTheirCodeNotTheirText) {
  struct Case {
    const char* what;
    P2PError error;
    bool nothing_listens, answered_nothing;
  };
  const Case cases[] = {
      {"refused", P2PError::io(os_error(ECONNREFUSED)), true, false},
      {"timed out", P2PError::io(os_error(ETIMEDOUT)), false, true},
      {"another failure", P2PError::io(os_error(EHOSTUNREACH)), false, false},
      {"a refusal's text alone", P2PError::io("Connection refused (os error 111)"), false, false},
      {"a time-out's text alone", P2PError::io("Connection timed out (os error 110)"), false, false},
      {"a refusal's text in another kind", P2PError::other("Connection refused (os error 111)"), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(peer::nothing_listens(c.error), c.nothing_listens);
    EXPECT_EQ(peer::answered_nothing(c.error), c.answered_nothing);
  }
  // The code travels beside the text the user is shown.
  EXPECT_EQ(P2PError::io(os_error(ECONNREFUSED)).display(), "IO error: Connection refused (os error 111)");
}

TEST(PeerClient, ConnectArgumentsAreChecked) {
  Responder responder;
  EXPECT_EQ(connect(responder, HandshakePattern::XX, 7, 0ms).error().kind(), P2PErrorKind::Io);
  // KK without the responder's key cannot start.
  EXPECT_EQ(PeerClient::connect(responder.address, key_of(INITIATOR_KEY), participant(INITIATOR_ID),
                                HandshakePattern::KK, std::nullopt, 7, 1000ms)
                .error()
                .kind(),
            P2PErrorKind::Noise);
}

}  // namespace
}  // namespace kio::p2p
