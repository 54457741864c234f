#include "p2p/p2pmanager.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

#include "peer/initiator.h"
#include "tests/p2p/p2p_fixtures.h"
#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using namespace fixture;
using namespace std::chrono_literals;
using peer::InitiatorSession;

constexpr std::uint8_t RESPONDER_KEY = 0x52;
constexpr std::uint8_t INITIATOR_KEY = 0x49;
const std::string KIHS = "4b494853";

// A manager on 127.0.0.1 stepped by hand: each test sends exact datagrams from a
// raw socket, runs one receive step and looks at what came back.
class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest()
      : lookup_(std::make_shared<TestLookup>()),
        manager_(*P2PManager::with_relationship_lookup(*SocketAddress::parse("127.0.0.1:0"), participant(RESPONDER_ID),
                                                       identity_of(RESPONDER_KEY), lookup_)),
        address_(*manager_.local_addr()) {}

  // One receive step for a datagram that is already on its way.
  P2PResult<std::optional<P2PEvent>> step() { return manager_.recv_event_timeout(2s); }

  void expect_no_event() {
    const auto r = step();
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_FALSE(r->has_value());
  }

  P2PError expect_error() {
    auto r = step();
    if (r) {
      ADD_FAILURE() << "expected an error";
      return P2PError(P2PErrorKind::Other);
    }
    return r.error();
  }

  ReceivedMessage expect_message() {
    auto r = step();
    if (!r || !*r || !std::holds_alternative<ReceivedMessage>(**r)) {
      ADD_FAILURE() << "expected a message" << (r ? "" : ": " + r.error().display());
      return {};
    }
    return std::get<ReceivedMessage>(std::move(**r));
  }

  InitiatorSession make_initiator(std::uint64_t id, HandshakePattern pattern, std::uint8_t key = INITIATOR_KEY) {
    std::optional<StaticKey> rs;
    if (pattern == HandshakePattern::KK) rs = public_of(RESPONDER_KEY);
    return std::move(*InitiatorSession::create(id, key_of(key), participant(INITIATOR_ID), pattern, rs));
  }

  // Sends message 1 from `from` and returns the raw reply datagram.
  std::vector<std::uint8_t> send_first(InitiatorSession& init, const RawUdp& from) {
    from.send_to(address_, *init.handshake_datagram(*init.write_first_message()));
    expect_no_event();
    auto reply = from.recv();
    if (!reply) {
      ADD_FAILURE() << "no handshake reply";
      return {};
    }
    return *reply;
  }

  // A complete XX handshake from `from`; returns the initiator ready for data.
  InitiatorSession xx_session(std::uint64_t id, const RawUdp& from) {
    InitiatorSession init = make_initiator(id, HandshakePattern::XX);
    const auto reply = send_first(init, from);
    const auto packet = decode_packet(reply);
    const auto m3 = init.read_reply(decode_handshake(packet->payload)->noise_message);
    EXPECT_TRUE(m3.has_value() && m3->has_value());
    from.send_to(address_, *init.handshake_datagram(**m3));
    expect_no_event();
    return init;
  }

  void accept_initiator(std::uint8_t state = RelationshipRecord::STATE_ACCEPTED,
                        const char* participant_text = INITIATOR_ID, std::uint8_t key = INITIATOR_KEY) {
    lookup_->records.push_back({participant(participant_text), public_of(key), state});
  }

  // From here on the manager's clock is `now_`, which the test moves by hand.
  void use_test_clock() { manager_.set_clock([this] { return now_; }); }
  // A receive step with nothing to receive: it only sweeps.
  void idle_step() {
    const auto r = manager_.recv_timeout(1ms);
    ASSERT_TRUE(r.has_value() && !r->has_value());
  }

  std::shared_ptr<TestLookup> lookup_;
  P2PManager::Clock::time_point now_ = P2PManager::Clock::now();
  P2PManager manager_;
  SocketAddress address_;
  RawUdp peer_;
};

std::string be64(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

TEST_F(ManagerTest, IdleStepsTimeOutAndZeroIsRefused) {
  const auto start = std::chrono::steady_clock::now();
  const auto idle = manager_.recv_timeout(5ms);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(idle.has_value()) << idle.error().display();
  EXPECT_FALSE(idle->has_value());
  EXPECT_GE(waited, 4ms);
  EXPECT_LT(waited, 1s);

  // Below a microsecond still means "wait briefly", not "wait for ever".
  const auto tiny = manager_.recv_event_timeout(1ns);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_FALSE(tiny->has_value());

  for (const auto bad : {0ns, -1ns}) {
    const auto refused = manager_.recv_timeout(bad);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(), "IO error: Invalid argument (os error 22)");
  }
}

TEST_F(ManagerTest, LocalAddressAndBindFailure) {
  EXPECT_EQ(address_.to_string().rfind("127.0.0.1:", 0), 0u);
  EXPECT_NE(address_.port(), 0);
  const auto taken = P2PManager::create(address_, participant(RESPONDER_ID), identity_of(1));
  ASSERT_FALSE(taken.has_value());
  EXPECT_EQ(taken.error().display(), "IO error: Address already in use (os error 98)");
}

TEST_F(ManagerTest, DiscoveryIsReportedAsAnEventOnly) {
  const auto payload = pattern_bytes(1024, 1);
  peer_.send_to(address_, encode_packet(MsgType::Discovery, 0, 0, 0, payload));
  const auto event = step();
  ASSERT_TRUE(event.has_value() && event->has_value());
  const auto* discovery = std::get_if<Discovery>(&**event);
  ASSERT_NE(discovery, nullptr);
  EXPECT_EQ(discovery->payload, payload);
  EXPECT_EQ(discovery->from, peer_.addr());

  peer_.send_to(address_, encode_packet(MsgType::Discovery, 0, 0, 0, payload));
  const auto message = manager_.recv_timeout(2s);
  ASSERT_TRUE(message.has_value());
  EXPECT_FALSE(message->has_value());
}

TEST_F(ManagerTest, MalformedDatagramsAreWireFormatErrors) {
  std::vector<std::uint8_t> type3(18, 0);
  type3[0] = 3;
  std::vector<std::uint8_t> bad_envelope = encode_packet(MsgType::Handshake, 1, 0, 0, std::vector<std::uint8_t>(38, 0));
  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      {std::vector<std::uint8_t>(17, 1), "buffer too small for header decode"},
      {type3, "invalid msg_type"},
      {encode_packet(MsgType::Discovery, 0, 0, 0, {}), "invalid discovery packet"},
      {encode_packet(MsgType::Discovery, 0, 1, 0, bytes_of("x")), "invalid discovery packet"},
      {bad_envelope, "invalid handshake envelope"},
  };
  for (const auto& [bytes, message] : cases) {
    peer_.send_to(address_, bytes);
    EXPECT_EQ(expect_error(), P2PError::wire_format(message)) << message;
  }
  // A KK envelope with an all-zero identity, inside a proper header.
  std::vector<std::uint8_t> zero_kk = *encode_handshake(HandshakePattern::KK, StaticKey{}, bytes_of("x"));
  peer_.send_to(address_, encode_packet(MsgType::Handshake, 1, 0, 0, zero_kk));
  EXPECT_EQ(expect_error(), P2PError::wire_format("invalid handshake pattern selector"));
  EXPECT_EQ(manager_.session_count(), 0u);
  EXPECT_FALSE(peer_.recv(20ms).has_value());
}

TEST_F(ManagerTest, DataForAnUnknownSession) {
  peer_.send_to(address_, encode_packet(MsgType::Data, 42, 0, 0, pattern_bytes(40, 0)));
  EXPECT_EQ(expect_error().display(), "No such session");
}

TEST_F(ManagerTest, XxHandshakeRepliesAndDeliversData) {
  const std::uint64_t id = 0x0102030405060708u;
  InitiatorSession init = make_initiator(id, HandshakePattern::XX);
  const auto reply = send_first(init, peer_);
  // type 0, our session id, channel 0, counter 0, "KIHS", version 1, XX, zero identity.
  ASSERT_EQ(reply.size(), 18u + 38u + 32u + 48u + 36u + 16u);
  EXPECT_EQ(test::hex_of({reply.begin(), reply.begin() + 56}),
            "00" + be64(id) + "00" + be64(0) + KIHS + "01" "00" + std::string(64, '0'));
  ASSERT_NE(manager_.find_session(id), nullptr);
  EXPECT_EQ(manager_.find_session(id)->state(), PeerSession::State::Handshaking);
  EXPECT_EQ(manager_.session_for_address(peer_.addr()), id);

  const auto m3 = init.read_reply(std::span<const std::uint8_t>(reply).subspan(56));
  ASSERT_TRUE(m3.has_value() && m3->has_value());
  peer_.send_to(address_, *init.handshake_datagram(**m3));
  expect_no_event();
  EXPECT_FALSE(peer_.recv(20ms).has_value());  // nothing answers message 3
  EXPECT_EQ(manager_.find_session(id)->state(), PeerSession::State::Transport);
  EXPECT_EQ(manager_.find_session(id)->remote_participant(), participant(INITIATOR_ID));

  struct Packet {
    std::uint8_t channel;
    std::uint64_t counter;
    std::size_t len;
  };
  const Packet packets[] = {{0, 0, 1}, {0, 1, 1466}, {1, 0, 200}, {7, 3, 0}, {255, 0x00FFFFFFFFFFFFFEu, 9}};
  for (const auto& p : packets) {
    const auto plain = pattern_bytes(p.len, p.channel);
    peer_.send_to(address_, *init.data_datagram(p.channel, p.counter, plain));
    const ReceivedMessage m = expect_message();
    EXPECT_EQ(m.payload, plain);
    EXPECT_EQ(m.channel_id, p.channel);
    EXPECT_EQ(m.session_id, id);
    EXPECT_EQ(m.from, peer_.addr());
  }
}

TEST_F(ManagerTest, CountersDifferingOnlyInTheirTopByteShareANonce) {
  InitiatorSession init = xx_session(5, peer_);
  const auto plain = pattern_bytes(64, 9);
  // Sealed under counter 0x..05 but sent with the top byte set: same nonce, so it opens.
  auto datagram = *init.data_datagram(3, 5, plain);
  datagram[10] = 0xEE;
  peer_.send_to(address_, datagram);
  EXPECT_EQ(expect_message().payload, plain);
  // The same nonce under yet other top bits is the same packet again: dropped.
  peer_.send_to(address_, *init.data_datagram(3, 0x7F00000000000005u, plain));
  expect_no_event();
  EXPECT_EQ(manager_.stats().replayed, 1u);
  peer_.send_to(address_, *init.data_datagram(3, 0x7F00000000000006u, plain));
  EXPECT_EQ(expect_message().payload, plain);
}

// A data packet is delivered at most once: a repeated counter, or one too far behind
// the channel's highest, is dropped and counted, from any address.
TEST_F(ManagerTest, ReplayedAndTooOldPacketsAreDroppedAndCounted) {
  InitiatorSession init = xx_session(5, peer_);
  RawUdp stranger;
  struct Step {
    const RawUdp& from;
    std::uint8_t channel;
    std::uint64_t counter;
    bool delivered;
  };
  const Step steps[] = {
      {peer_, 0, 0, true},     {peer_, 0, 0, false},    {stranger, 0, 0, false},
      {peer_, 1, 0, true},     {stranger, 1, 0, false},  // channels keep separate windows
      {peer_, 0, 3000, true},  {peer_, 0, 2999, true},   {peer_, 0, 3000 - REPLAY_WINDOW, true},
      {peer_, 0, 1, false},    // never seen, but too old
      {stranger, 0, 2999, false},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const Step& st = steps[i];
    const auto plain = pattern_bytes(20, static_cast<std::uint8_t>(i));
    st.from.send_to(address_, *init.data_datagram(st.channel, st.counter, plain));
    if (st.delivered) {
      EXPECT_EQ(expect_message().payload, plain) << i;
    } else {
      expect_no_event();
    }
  }
  EXPECT_EQ(manager_.stats().replayed, 4u);
  EXPECT_EQ(manager_.stats().too_old, 1u);
  EXPECT_EQ(manager_.stats().no_window, 0u);
  EXPECT_FALSE(peer_.recv(20ms).has_value());  // nothing is sent back
}

// A peer can use a few channels; packets on one past the session's windows cannot
// be checked for replay, so they are dropped rather than delivered.
TEST_F(ManagerTest, ChannelsBeyondTheSessionsWindowsAreDropped) {
  InitiatorSession init = xx_session(5, peer_);
  for (std::uint8_t channel = 0; channel < MAX_CHANNEL_WINDOWS; ++channel) {
    peer_.send_to(address_, *init.data_datagram(channel, 0, bytes_of("in")));
    EXPECT_EQ(expect_message().channel_id, channel);
  }
  peer_.send_to(address_, *init.data_datagram(200, 0, bytes_of("out")));
  expect_no_event();
  EXPECT_EQ(manager_.stats().no_window, 1u);
  EXPECT_EQ(manager_.find_session(5)->replay_windows().size(), MAX_CHANNEL_WINDOWS);
  peer_.send_to(address_, *init.data_datagram(0, 1, bytes_of("still in")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("still in"));
}

TEST_F(ManagerTest, DatagramLongerThan1500BytesIsCut) {
  InitiatorSession init = xx_session(5, peer_);
  const auto plain = pattern_bytes(1466, 4);
  auto datagram = *init.data_datagram(0, 0, plain);
  ASSERT_EQ(datagram.size(), 1500u);
  datagram.resize(1600, 0xCC);  // a tail the receiver never sees
  peer_.send_to(address_, datagram);
  EXPECT_EQ(expect_message().payload, plain);
}

TEST_F(ManagerTest, FailedDecryptionIsAnErrorAndUsesUpNoCounter) {
  InitiatorSession init = xx_session(5, peer_);
  auto datagram = *init.data_datagram(0, 99, pattern_bytes(30, 1));
  datagram.back() ^= 1;
  peer_.send_to(address_, datagram);
  EXPECT_EQ(expect_error().kind(), P2PErrorKind::Noise);
  // Too short to hold a tag.
  peer_.send_to(address_, encode_packet(MsgType::Data, 5, 0, 100, std::vector<std::uint8_t>(15)));
  EXPECT_EQ(expect_error().kind(), P2PErrorKind::Noise);
  // The session still works, and the forged packets used up no counter.
  peer_.send_to(address_, *init.data_datagram(0, 101, bytes_of("ok")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("ok"));
  peer_.send_to(address_, *init.data_datagram(0, 99, bytes_of("genuine")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("genuine"));
  EXPECT_EQ(manager_.stats().replayed, 0u);
}

TEST_F(ManagerTest, DataBeforeTheHandshakeCompletesIsDroppedQuietly) {
  InitiatorSession init = make_initiator(11, HandshakePattern::XX);
  send_first(init, peer_);
  peer_.send_to(address_, encode_packet(MsgType::Data, 11, 0, 0, pattern_bytes(40, 0)));
  expect_no_event();
  EXPECT_EQ(manager_.find_session(11)->replay_windows().size(), 0u);
}

TEST_F(ManagerTest, DataFromAnotherAddressReportsTheSessionsAddress) {
  InitiatorSession init = xx_session(5, peer_);
  RawUdp other;
  other.send_to(address_, *init.data_datagram(2, 0, bytes_of("moved")));
  const ReceivedMessage m = expect_message();
  EXPECT_EQ(m.payload, test::bytes_of("moved"));
  EXPECT_EQ(m.from, peer_.addr());
  EXPECT_NE(m.from, other.addr());
}

TEST_F(ManagerTest, RepeatedThirdMessageIsRefusedAndTheSessionKeepsWorking) {
  InitiatorSession init = make_initiator(21, HandshakePattern::XX);
  const auto reply = send_first(init, peer_);
  const auto m3 = init.read_reply(std::span<const std::uint8_t>(reply).subspan(56));
  const auto third = *init.handshake_datagram(**m3);
  peer_.send_to(address_, third);
  expect_no_event();
  peer_.send_to(address_, third);
  EXPECT_EQ(expect_error().display(), "Handshake not complete");
  peer_.send_to(address_, *init.data_datagram(0, 0, bytes_of("still here")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("still here"));
}

TEST_F(ManagerTest, RepeatedFirstMessageWhileWaitingForTheThirdIsASimultaneousOpen) {
  InitiatorSession init = make_initiator(31, HandshakePattern::XX);
  const auto first = *init.handshake_datagram(*init.write_first_message());
  peer_.send_to(address_, first);
  expect_no_event();
  ASSERT_TRUE(peer_.recv().has_value());
  peer_.send_to(address_, first);
  const P2PError error = expect_error();
  EXPECT_EQ(error.display(), "Simultaneous-open session collision with " + peer_.addr().to_string());
  EXPECT_EQ(manager_.find_session(31), nullptr);
  EXPECT_FALSE(manager_.session_for_address(peer_.addr()).has_value());
  // The peer can start again on the same id.
  peer_.send_to(address_, first);
  expect_no_event();
  EXPECT_NE(manager_.find_session(31), nullptr);
}

// While a handshake is in progress: the lower id wins.
TEST_F(ManagerTest, LowerSessionIdFromTheSameAddressWins) {
  InitiatorSession nine = make_initiator(9, HandshakePattern::XX);
  send_first(nine, peer_);
  ASSERT_NE(manager_.find_session(9), nullptr);

  InitiatorSession twelve = make_initiator(12, HandshakePattern::XX);
  peer_.send_to(address_, *twelve.handshake_datagram(*twelve.write_first_message()));
  expect_no_event();
  EXPECT_FALSE(peer_.recv(50ms).has_value());
  EXPECT_EQ(manager_.find_session(12), nullptr);
  EXPECT_NE(manager_.find_session(9), nullptr);

  InitiatorSession seven = make_initiator(7, HandshakePattern::XX);
  const auto reply = send_first(seven, peer_);
  EXPECT_EQ(decode_packet(reply)->header.session_id, 7u);
  EXPECT_EQ(manager_.find_session(9), nullptr);
  EXPECT_NE(manager_.find_session(7), nullptr);
  EXPECT_EQ(manager_.session_for_address(peer_.addr()), 7u);
  EXPECT_EQ(manager_.session_count(), 1u);
}

// Once a session is established, only its peer's socket can send from its address:
// a first handshake message from there, whatever its id, means that socket was
// closed and the port given to another, or that the peer started over.
TEST_F(ManagerTest, AnEstablishedSessionGivesWayToANewHandshakeFromItsAddress) {
  for (const std::uint64_t next : {12u, 3u}) {
    SCOPED_TRACE(next);
    InitiatorSession old = xx_session(9, peer_);
    ASSERT_EQ(manager_.find_session(9)->state(), PeerSession::State::Transport);
    InitiatorSession fresh = make_initiator(next, HandshakePattern::XX);
    const auto reply = send_first(fresh, peer_);
    EXPECT_EQ(decode_packet(reply)->header.session_id, next);
    EXPECT_EQ(manager_.find_session(9), nullptr);
    EXPECT_EQ(manager_.session_for_address(peer_.addr()), next);
    EXPECT_EQ(manager_.session_count(), 1u);
    peer_.send_to(address_, *old.data_datagram(0, 0, bytes_of("old")));
    EXPECT_EQ(expect_error().kind(), P2PErrorKind::NoSuchSession);
    manager_.remove_session(next);
  }
}

// A handshake that does not get started takes nothing away.
TEST_F(ManagerTest, AFailedFirstMessageLeavesTheEstablishedSessionInPlace) {
  InitiatorSession init = xx_session(9, peer_);
  InitiatorSession kk = make_initiator(12, HandshakePattern::KK);  // nobody is accepted
  const std::pair<std::vector<std::uint8_t>, P2PErrorKind> attempts[] = {
      {encode_packet(MsgType::Handshake, 12, 0, 0, *encode_handshake(HandshakePattern::XX, std::nullopt, bytes_of("x"))),
       P2PErrorKind::Noise},
      {*kk.handshake_datagram(*kk.write_first_message()), P2PErrorKind::RelationshipNotAccepted},
  };
  for (const auto& [datagram, kind] : attempts) {
    peer_.send_to(address_, datagram);
    EXPECT_EQ(expect_error().kind(), kind);
    EXPECT_FALSE(peer_.recv(20ms).has_value());
    EXPECT_EQ(manager_.session_for_address(peer_.addr()), 9u);
    EXPECT_EQ(manager_.find_session(12), nullptr);
  }
  peer_.send_to(address_, *init.data_datagram(0, 0, bytes_of("still here")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("still here"));
}

// A handshake left half-open no longer shuts out its address once it is past its
// time, and the table forgets it.
TEST_F(ManagerTest, HalfOpenHandshakesAreSweptAfterTheirTime) {
  use_test_clock();
  InitiatorSession nine = make_initiator(9, HandshakePattern::XX);
  send_first(nine, peer_);
  RawUdp other;
  InitiatorSession elsewhere = make_initiator(20, HandshakePattern::XX);
  send_first(elsewhere, other);

  now_ += HANDSHAKE_TIMEOUT - 1s;
  InitiatorSession twelve = make_initiator(12, HandshakePattern::XX);
  const auto first = *twelve.handshake_datagram(*twelve.write_first_message());
  peer_.send_to(address_, first);
  expect_no_event();
  EXPECT_FALSE(peer_.recv(50ms).has_value());  // 9 is still shaking hands
  EXPECT_EQ(manager_.stats().handshakes_swept, 0u);

  now_ += 1s;
  peer_.send_to(address_, first);
  expect_no_event();
  const auto reply = peer_.recv();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(decode_packet(*reply)->header.session_id, 12u);
  EXPECT_EQ(manager_.find_session(9), nullptr);
  EXPECT_EQ(manager_.find_session(20), nullptr);
  EXPECT_FALSE(manager_.session_for_address(other.addr()).has_value());
  EXPECT_EQ(manager_.stats().handshakes_swept, 2u);
  EXPECT_EQ(manager_.session_count(), 1u);
}

// An established session stays while its peer sends; after SESSION_IDLE_TIMEOUT
// without a delivered packet it goes. Replays show nothing of the peer.
TEST_F(ManagerTest, IdleSessionsAreSweptAfterTheirTime) {
  use_test_clock();
  InitiatorSession init = xx_session(5, peer_);
  const auto first = *init.data_datagram(0, 0, bytes_of("a"));
  for (std::uint64_t counter = 0; counter < 3; ++counter) {
    now_ += SESSION_IDLE_TIMEOUT - 1s;
    peer_.send_to(address_, *init.data_datagram(0, counter, bytes_of("alive")));
    EXPECT_EQ(expect_message().payload, test::bytes_of("alive"));
  }
  now_ += SESSION_IDLE_TIMEOUT - 1s;
  peer_.send_to(address_, first);  // a replay
  expect_no_event();
  EXPECT_NE(manager_.find_session(5), nullptr);
  EXPECT_EQ(manager_.stats().idle_sessions_swept, 0u);

  now_ += 1s;
  idle_step();
  EXPECT_EQ(manager_.find_session(5), nullptr);
  EXPECT_FALSE(manager_.session_for_address(peer_.addr()).has_value());
  EXPECT_EQ(manager_.stats().idle_sessions_swept, 1u);
  EXPECT_EQ(manager_.stats().handshakes_swept, 0u);
  peer_.send_to(address_, *init.data_datagram(0, 9, bytes_of("late")));
  EXPECT_EQ(expect_error().kind(), P2PErrorKind::NoSuchSession);
}

TEST_F(ManagerTest, KnownSessionFromAnotherAddress) {
  InitiatorSession init = make_initiator(41, HandshakePattern::XX);
  const auto first = *init.handshake_datagram(*init.write_first_message());
  peer_.send_to(address_, first);
  expect_no_event();
  RawUdp other;
  other.send_to(address_, first);
  EXPECT_EQ(expect_error(), P2PError::other("Handshake packet from unexpected address"));
  ASSERT_NE(manager_.find_session(41), nullptr);
  EXPECT_EQ(manager_.find_session(41)->messages_read(), 1);
  EXPECT_EQ(manager_.find_session(41)->peer_address(), peer_.addr());
  EXPECT_FALSE(manager_.session_for_address(other.addr()).has_value());
  EXPECT_FALSE(other.recv(20ms).has_value());
}

TEST_F(ManagerTest, EnvelopeNotMatchingTheSession) {
  accept_initiator();
  // An XX session waiting for message 3, then a KK session already in transport.
  InitiatorSession xx = make_initiator(51, HandshakePattern::XX);
  send_first(xx, peer_);
  RawUdp kk_peer;
  InitiatorSession kk = make_initiator(52, HandshakePattern::KK);
  send_first(kk, kk_peer);
  ASSERT_EQ(manager_.find_session(52)->state(), PeerSession::State::Transport);

  StaticKey other_key = public_of(0x77);
  const std::vector<std::uint8_t> noise(64, 1);
  struct Case {
    const char* name;
    const RawUdp& from;
    std::uint64_t id;
    std::vector<std::uint8_t> envelope;
    P2PErrorKind kind;
  };
  const Case cases[] = {
      {"KK envelope for XX session", peer_, 51, *encode_handshake(HandshakePattern::KK, xx.local_static(), noise),
       P2PErrorKind::RemoteIdentityMismatch},
      {"XX envelope for KK session", kk_peer, 52, *encode_handshake(HandshakePattern::XX, std::nullopt, noise),
       P2PErrorKind::RemoteIdentityMismatch},
      {"other KK identity", kk_peer, 52, *encode_handshake(HandshakePattern::KK, other_key, noise),
       P2PErrorKind::RemoteIdentityMismatch},
      {"same KK identity after completion", kk_peer, 52,
       *encode_handshake(HandshakePattern::KK, kk.local_static(), noise), P2PErrorKind::HandshakeNotComplete},
  };
  for (const auto& c : cases) {
    c.from.send_to(address_, encode_packet(MsgType::Handshake, c.id, 0, 0, c.envelope));
    EXPECT_EQ(expect_error().kind(), c.kind) << c.name;
  }
  EXPECT_EQ(manager_.find_session(51)->state(), PeerSession::State::Handshaking);
  EXPECT_EQ(manager_.find_session(52)->state(), PeerSession::State::Transport);
}

TEST_F(ManagerTest, KkHandshakeThroughAnAcceptedRelationship) {
  accept_initiator();
  InitiatorSession init = make_initiator(0xFEDCBA9876543210u, HandshakePattern::KK);
  const auto reply = send_first(init, peer_);
  ASSERT_EQ(reply.size(), 18u + 38u + 32u + 36u + 16u);
  const auto& identity = init.local_static();
  EXPECT_EQ(test::hex_of({reply.begin(), reply.begin() + 56}),
            "00" + be64(0xFEDCBA9876543210u) + "00" + be64(0) + KIHS + "01" "01" +
                test::hex_of({identity.begin(), identity.end()}));
  const PeerSession* session = manager_.find_session(0xFEDCBA9876543210u);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->state(), PeerSession::State::Transport);

  const auto none = init.read_reply(std::span<const std::uint8_t>(reply).subspan(56));
  ASSERT_TRUE(none.has_value()) << none.error().display();
  EXPECT_EQ(init.remote_participant(), participant(RESPONDER_ID));
  peer_.send_to(address_, *init.data_datagram(4, 1, bytes_of("kk data")));
  const ReceivedMessage m = expect_message();
  EXPECT_EQ(m.payload, test::bytes_of("kk data"));
  EXPECT_EQ(m.channel_id, 4);
}

TEST_F(ManagerTest, KkHandshakeRefusals) {
  const auto record = [](std::uint8_t state, const char* who) {
    return RelationshipRecord{participant(who), public_of(INITIATOR_KEY), state};
  };
  struct Case {
    const char* name;
    std::optional<RelationshipRecord> record;
    std::optional<P2PError> lookup_failure;
    P2PError error;
  };
  const P2PError not_accepted(P2PErrorKind::RelationshipNotAccepted);
  const Case cases[] = {
      {"no record", std::nullopt, std::nullopt, not_accepted},
      {"state 2", record(2, INITIATOR_ID), std::nullopt, not_accepted},
      {"state 0", record(0, INITIATOR_ID), std::nullopt, not_accepted},
      {"lookup error", std::nullopt, P2PError::other("relationship store offline"),
       P2PError::other("relationship store offline")},
      {"other participant", record(RelationshipRecord::STATE_ACCEPTED, STRANGER_ID), std::nullopt,
       P2PError(P2PErrorKind::RemoteIdentityMismatch)},
  };
  for (const auto& c : cases) {
    lookup_->records.clear();
    if (c.record) lookup_->records.push_back(*c.record);
    lookup_->failure = c.lookup_failure;
    InitiatorSession init = make_initiator(60, HandshakePattern::KK);
    peer_.send_to(address_, *init.handshake_datagram(*init.write_first_message()));
    EXPECT_EQ(expect_error(), c.error) << c.name;
    EXPECT_FALSE(peer_.recv(20ms).has_value()) << c.name;
    EXPECT_EQ(manager_.session_count(), 0u) << c.name;
  }
}

// A lookup that answers with a record whose key is not the one asked about.
class MismatchedLookup final : public RelationshipLookup {
 public:
  P2PResult<std::optional<RelationshipRecord>> by_participant_id(const ParticipantId&) const override {
    return std::nullopt;
  }
  P2PResult<std::optional<RelationshipRecord>> by_remote_static(const StaticKey&) const override {
    return RelationshipRecord{participant(INITIATOR_ID), public_of(0x77), RelationshipRecord::STATE_ACCEPTED};
  }
};

TEST(P2PManagerLookups, EmptyAndMismatchedLookupsRefuseKk) {
  for (const bool empty : {true, false}) {
    auto manager = empty ? P2PManager::create(*SocketAddress::parse("127.0.0.1:0"), participant(RESPONDER_ID),
                                              identity_of(RESPONDER_KEY))
                         : P2PManager::with_relationship_lookup(*SocketAddress::parse("127.0.0.1:0"),
                                                                participant(RESPONDER_ID), identity_of(RESPONDER_KEY),
                                                                std::make_shared<MismatchedLookup>());
    ASSERT_TRUE(manager.has_value());
    RawUdp peer;
    auto init = *InitiatorSession::create(1, key_of(INITIATOR_KEY), participant(INITIATOR_ID), HandshakePattern::KK,
                                          public_of(RESPONDER_KEY));
    peer.send_to(*manager->local_addr(), *init.handshake_datagram(*init.write_first_message()));
    const auto r = manager->recv_timeout(2s);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "Known relationship is missing or not accepted");
    EXPECT_FALSE(peer.recv(20ms).has_value());
    EXPECT_EQ(manager->session_count(), 0u);
  }
}

TEST_F(ManagerTest, RefusedKkStillReplacesAHigherSessionFromItsAddress) {
  InitiatorSession nine = make_initiator(9, HandshakePattern::XX);
  send_first(nine, peer_);
  InitiatorSession kk = make_initiator(3, HandshakePattern::KK);
  peer_.send_to(address_, *kk.handshake_datagram(*kk.write_first_message()));
  EXPECT_EQ(expect_error().kind(), P2PErrorKind::RelationshipNotAccepted);
  EXPECT_EQ(manager_.session_count(), 0u);
}

TEST_F(ManagerTest, RemoveSessionForgetsItsAddresses) {
  InitiatorSession init = xx_session(70, peer_);
  manager_.remove_session(12345);
  EXPECT_EQ(manager_.session_count(), 1u);
  manager_.remove_session(70);
  EXPECT_EQ(manager_.session_count(), 0u);
  EXPECT_FALSE(manager_.session_for_address(peer_.addr()).has_value());
  peer_.send_to(address_, *init.data_datagram(0, 0, bytes_of("gone")));
  EXPECT_EQ(expect_error().kind(), P2PErrorKind::NoSuchSession);
}

TEST_F(ManagerTest, SendPacketRaw) {
  const auto payload = pattern_bytes(5, 1);
  ASSERT_TRUE(manager_.send_packet_raw(peer_.addr(), MsgType::Data, 0x1122334455667788u, 9, 0xA1A2A3A4A5A6A7A8u,
                                       payload).has_value());
  const auto got = peer_.recv();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(test::hex_of(*got), "01" "1122334455667788" "09" "a1a2a3a4a5a6a7a8" + test::hex_of(payload));

  // An IPv6 destination cannot be reached from this IPv4 socket.
  const auto refused = manager_.send_packet_raw(*SocketAddress::parse("[::1]:9"), MsgType::Data, 1, 0, 0, payload);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), P2PErrorKind::Io);
  EXPECT_TRUE(refused.error().display().starts_with("IO error: ")) << refused.error().display();
}

TEST_F(ManagerTest, AMovedManagerKeepsItsSessions) {
  InitiatorSession init = xx_session(80, peer_);
  P2PManager moved = std::move(manager_);
  peer_.send_to(address_, *init.data_datagram(0, 0, bytes_of("after move")));
  const auto m = moved.recv_timeout(2s);
  ASSERT_TRUE(m.has_value() && m->has_value());
  EXPECT_EQ((*m)->payload, test::bytes_of("after move"));
}

}  // namespace
}  // namespace kio::p2p

namespace kio::p2p {
namespace {

// Handshakes from many ports cannot grow the session table without bound: the
// oldest half-open handshake gives way first, and established sessions are capped too.
TEST_F(ManagerTest, SessionTableIsBounded) {
  manager_.set_session_limits({/*max_handshaking=*/3, /*max_sessions=*/5});
  std::vector<std::unique_ptr<RawUdp>> peers;
  std::vector<InitiatorSession> pending;
  for (std::uint64_t id = 1; id <= 4; ++id) {
    peers.push_back(std::make_unique<RawUdp>());
    pending.push_back(make_initiator(id, HandshakePattern::XX));
    send_first(pending.back(), *peers.back());
  }
  EXPECT_EQ(manager_.session_count(), 3u);
  EXPECT_EQ(manager_.find_session(1), nullptr);  // the oldest half-open one went
  EXPECT_NE(manager_.find_session(4), nullptr);

  // Established sessions count against the overall limit, oldest first.
  std::vector<InitiatorSession> established;
  for (std::uint64_t id = 10; id < 16; ++id) {
    peers.push_back(std::make_unique<RawUdp>());
    established.push_back(xx_session(id, *peers.back()));
  }
  EXPECT_EQ(manager_.session_count(), 5u);
  EXPECT_NE(manager_.find_session(15), nullptr);
  EXPECT_EQ(manager_.find_session(10), nullptr);
}

// At the overall limit a half-open handshake gives way before any established
// session, however much older the established ones are.
TEST_F(ManagerTest, AtTheSessionLimitHalfOpenHandshakesGoBeforeEstablishedSessions) {
  manager_.set_session_limits({/*max_handshaking=*/10, /*max_sessions=*/4});
  std::vector<std::unique_ptr<RawUdp>> peers;
  std::vector<InitiatorSession> established;
  for (std::uint64_t id = 10; id <= 11; ++id) {
    peers.push_back(std::make_unique<RawUdp>());
    established.push_back(xx_session(id, *peers.back()));
  }
  std::vector<InitiatorSession> pending;
  for (std::uint64_t id = 1; id <= 3; ++id) {
    peers.push_back(std::make_unique<RawUdp>());
    pending.push_back(make_initiator(id, HandshakePattern::XX));
    send_first(pending.back(), *peers.back());
  }
  EXPECT_EQ(manager_.session_count(), 4u);
  EXPECT_EQ(manager_.find_session(1), nullptr);
  for (const std::uint64_t id : {10, 11, 2, 3}) EXPECT_NE(manager_.find_session(id), nullptr) << id;
  // The established sessions still deliver.
  peers[0]->send_to(address_, *established[0].data_datagram(0, 0, bytes_of("kept")));
  EXPECT_EQ(expect_message().payload, test::bytes_of("kept"));
}

// The batched step: every datagram already waiting, taken in one call and
// handled in arrival order; errors keep their place among the messages, and an
// established session that gives way to a new handshake is reported as ended.
TEST_F(ManagerTest, ABatchTakesEveryWaitingDatagramInOrder) {
  InitiatorSession old = xx_session(9, peer_);
  for (std::uint64_t counter = 0; counter < 3; ++counter) {
    peer_.send_to(address_, *old.data_datagram(1, counter, bytes_of("m" + std::to_string(counter))));
  }
  peer_.send_to(address_, std::vector<std::uint8_t>(10, 1));  // too short for a header
  peer_.send_to(address_, *old.data_datagram(1, 3, bytes_of("m3")));
  // A new handshake from the same address ends session 9.
  InitiatorSession fresh = make_initiator(12, HandshakePattern::XX);
  peer_.send_to(address_, *fresh.handshake_datagram(*fresh.write_first_message()));
  std::this_thread::sleep_for(50ms);

  std::vector<ReceiveOutcome> out;
  manager_.recv_batch(2s, out);
  ASSERT_EQ(out.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto* message = std::get_if<ReceivedMessage>(&out[i]);
    ASSERT_NE(message, nullptr) << i;
    EXPECT_EQ(message->payload, test::bytes_of("m" + std::to_string(i)));
    EXPECT_EQ(message->channel_id, 1);
    EXPECT_EQ(message->session_id, 9u);
  }
  ASSERT_TRUE(std::holds_alternative<P2PError>(out[3]));
  EXPECT_EQ(std::get<P2PError>(out[3]).kind(), P2PErrorKind::WireFormat);
  EXPECT_EQ(std::get<ReceivedMessage>(out[4]).payload, test::bytes_of("m3"));
  ASSERT_TRUE(std::holds_alternative<SessionEnded>(out[5]));
  EXPECT_EQ(std::get<SessionEnded>(out[5]).session_id, 9u);
  EXPECT_TRUE(peer_.recv().has_value());  // the reply to the new handshake

  // Nothing waiting: the wait ends with nothing; a zero wait is refused.
  out.clear();
  manager_.recv_batch(5ms, out);
  EXPECT_TRUE(out.empty());
  manager_.recv_batch(0ns, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<P2PError>(out[0]).kind(), P2PErrorKind::Io);
}

void ignore_signal(int) {}

// A wait cut short by a signal (a stop and continue, say) received nothing: it
// is not an error, whichever way the step is called.
TEST_F(ManagerTest, AnInterruptedWaitReceivedNothing) {
  struct sigaction action {}, previous{};
  action.sa_handler = ignore_signal;  // no SA_RESTART: the wait ends with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  const auto interrupted = [](const std::function<void()>& step) {
    std::atomic<bool> done = false;
    std::thread waiter([&] {
      step();
      done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) {
      std::this_thread::sleep_for(10ms);
      ::pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    waiter.join();
  };
  P2PResult<std::optional<P2PEvent>> one = std::nullopt;
  interrupted([&] { one = manager_.recv_event_timeout(30s); });
  ASSERT_TRUE(one.has_value()) << one.error().display();
  EXPECT_FALSE(one->has_value());
  std::vector<ReceiveOutcome> batch;
  interrupted([&] { manager_.recv_batch(30s, batch); });
  EXPECT_TRUE(batch.empty());
  ::sigaction(SIGUSR1, &previous, nullptr);
}

// A session swept as idle during a batched step is reported too; a half-open
// handshake that is swept had no stream and is not.
TEST_F(ManagerTest, ABatchReportsSessionsSweptAsIdle) {
  use_test_clock();
  InitiatorSession idle = xx_session(5, peer_);
  RawUdp other;
  InitiatorSession half = make_initiator(6, HandshakePattern::XX);
  send_first(half, other);
  now_ += SESSION_IDLE_TIMEOUT;
  std::vector<ReceiveOutcome> out;
  manager_.recv_batch(1ms, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<SessionEnded>(out[0]).session_id, 5u);
  EXPECT_EQ(manager_.session_count(), 0u);
}

}  // namespace
}  // namespace kio::p2p

