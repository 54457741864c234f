#include "p2p/session_table.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "peer/initiator.h"
#include "tests/p2p/p2p_fixtures.h"

namespace kio::p2p {
namespace {

using namespace fixture;
using peer::InitiatorSession;

constexpr std::uint8_t RESPONDER_KEY = 0x52;
constexpr std::uint8_t INITIATOR_KEY = 0x49;

struct Recorder final : SessionTable::EndReporter {
  void session_ended(std::uint64_t session_id) override { ended.push_back(session_id); }
  std::vector<std::uint64_t> ended;
};

// Sessions that have read the first XX message, as the manager takes them in, with
// the initiator's third message ready. A session made to expect another static
// key fails its handshake on that third message.
class SessionTableTest : public ::testing::Test {
 protected:
  PeerSession half_open(std::uint64_t id, bool to_fail = false) {
    static const SessionIdentity identity = identity_of(RESPONDER_KEY);
    const auto address = *SocketAddress::parse("127.0.0.1:" + std::to_string(40000 + id));
    std::optional<StaticKey> expected;
    if (to_fail) expected = public_of(0x77);
    auto session = *PeerSession::new_responder(id, address, identity, participant(RESPONDER_ID),
                                               HandshakePattern::XX, expected, std::nullopt);
    auto init = *InitiatorSession::create(id, key_of(INITIATOR_KEY), participant(INITIATOR_ID), HandshakePattern::XX,
                                          std::nullopt);
    const auto m2 = **session.read_handshake_message(*init.write_first_message());
    third_[id] = **init.read_reply(m2);
    return session;
  }

  P2PResult<std::optional<std::vector<std::uint8_t>>> finish(std::uint64_t id) {
    PeerSession* session = table_.find(id);
    if (session == nullptr) {
      ADD_FAILURE() << "session " << id << " is gone";
      return p2p_fail(P2PError::other("gone"));
    }
    return table_.read_handshake_message(*session, third_.at(id));
  }

  // The sessions still shaking hands, counted one by one.
  std::size_t counted() const {
    std::size_t n = 0;
    for (const auto& [id, message] : third_) {
      const PeerSession* session = table_.find(id);
      if (session && session->state() == PeerSession::State::Handshaking) ++n;
    }
    return n;
  }

  SessionTable table_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> third_;
  const SessionTable::Clock::time_point t0_ = SessionTable::Clock::now();
};

// The count of half-open handshakes that decides evictions follows every road in
// and out of the handshake state: taken in, established, failed, evicted,
// removed, swept.
TEST_F(SessionTableTest, TheHalfOpenCountFollowsEveryChangeOfState) {
  Recorder recorder;
  table_.set_end_reporter(&recorder);
  table_.set_limits({/*max_handshaking=*/2, /*max_sessions=*/10});
  table_.insert(half_open(1), t0_);
  table_.insert(half_open(2, /*to_fail=*/true), t0_);
  EXPECT_EQ(table_.handshaking(), 2u);

  ASSERT_TRUE(finish(1).has_value());
  ASSERT_EQ(table_.find(1)->state(), PeerSession::State::Transport);
  EXPECT_EQ(table_.handshaking(), 1u);
  // One handshake is still open: a new one evicts nothing.
  table_.insert(half_open(3), t0_);
  EXPECT_EQ(table_.size(), 3u);
  EXPECT_EQ(table_.handshaking(), 2u);

  EXPECT_EQ(finish(2).error().kind(), P2PErrorKind::RemoteIdentityMismatch);
  ASSERT_EQ(table_.find(2)->state(), PeerSession::State::Failed);
  EXPECT_EQ(table_.handshaking(), 1u);
  table_.insert(half_open(4), t0_);
  EXPECT_EQ(table_.size(), 4u);
  // Now two are open: the oldest open one (3) goes, not the older failed one (2).
  table_.insert(half_open(5), t0_);
  EXPECT_EQ(table_.find(3), nullptr);
  EXPECT_NE(table_.find(2), nullptr);
  EXPECT_EQ(table_.handshaking(), 2u);
  EXPECT_EQ(table_.handshaking(), counted());

  table_.remove(4);
  EXPECT_EQ(table_.handshaking(), 1u);
  table_.remove(4);
  EXPECT_EQ(table_.handshaking(), 1u);
  const SweepCounts swept = table_.sweep(t0_ + HANDSHAKE_TIMEOUT);
  EXPECT_EQ(swept.handshakes, 2u);  // the failed one and the open one
  EXPECT_EQ(swept.idle_sessions, 0u);
  EXPECT_EQ(table_.handshaking(), 0u);
  EXPECT_EQ(table_.size(), 1u);
  EXPECT_TRUE(recorder.ended.empty());  // no established session went yet

  table_.remove(1);
  EXPECT_EQ(recorder.ended, std::vector<std::uint64_t>{1});
  EXPECT_FALSE(table_.for_address(*SocketAddress::parse("127.0.0.1:40001")).has_value());
}

}  // namespace
}  // namespace kio::p2p
