// The stream table (one stream per session, bounded, stalls abandoned) and the
// receive queue, driven directly with a clock set by hand.
#include "connector/streams.h"

#include <gtest/gtest.h>

#include <functional>

#include "connector/receive_thread.h"
#include "peer/stream_plan.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kio::connector {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = StreamTable::Clock;
using p2p::P2PError;

constexpr char kFeatureId[] = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
constexpr char kBlobId[] = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";

using test::pseudo_random;

std::vector<peer::OutgoingMessage> plan(const Bytes& stream, std::size_t frame_size = 1000,
                                        const std::string& blob_id = kBlobId) {
  return peer::plan_stream({kFeatureId, blob_id, "bytes", {}}, stream, frame_size).value();
}

class Streams : public ::testing::Test {
 protected:
  // Feeds messages of one session; returns the completed stream if the last one
  // completed it, failing the test on any error or an early completion.
  std::optional<install::CompletedStream> feed(std::uint64_t session, const std::vector<peer::OutgoingMessage>& messages,
                                               std::size_t from = 0, std::size_t to = SIZE_MAX) {
    std::optional<install::CompletedStream> completed;
    for (std::size_t i = from; i < std::min(to, messages.size()); ++i) {
      EXPECT_FALSE(completed) << "completed before the last message";
      auto got = table.push(session, messages[i].channel, Bytes(messages[i].bytes), now);
      EXPECT_TRUE(got) << got.error().message;
      if (got && *got) completed = std::move(**got);
    }
    return completed;
  }
  std::vector<std::string> spools() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    return names;
  }

  test::TempDir dir;
  StreamLimits limits;
  StreamTable table{dir.path(), limits};
  Clock::time_point now = Clock::time_point() + 1h;
};

TEST_F(Streams, EachSessionFeedsOnlyItsOwnStream) {
  const Bytes first = pseudo_random(6000, 1), second = pseudo_random(3000, 2);
  const auto a = plan(first), b = plan(second);
  // Half of session 1's stream.
  EXPECT_FALSE(feed(1, a, 0, 6));
  // Session 2: a message no chunk could be, then an announcement and a frame of its own.
  auto bad = table.push(2, 1, Bytes(5, 0), now);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "Wire format error: Chunk buffer too small");
  EXPECT_FALSE(feed(2, b, 0, 3));
  EXPECT_EQ(table.size(), 2u);
  // Session 2 sending session 1's remaining chunks feeds nothing of session 1.
  EXPECT_FALSE(feed(2, a, 6, 8));
  auto completed = feed(1, a, 6);
  ASSERT_TRUE(completed);
  EXPECT_EQ(test::read_file(completed->spool.path()), std::string(first.begin(), first.end()));
  // Session 2's stream is still there, and its own frames go on.
  EXPECT_EQ(table.size(), 1u);
  auto other = table.push(2, 0, Bytes(b[0].bytes), now);  // restarts session 2's stream
  ASSERT_TRUE(other);
  auto second_completed = feed(2, b, 1);
  ASSERT_TRUE(second_completed);
  EXPECT_EQ(test::read_file(second_completed->spool.path()), std::string(second.begin(), second.end()));
  EXPECT_EQ(table.size(), 0u);
}

TEST_F(Streams, ARefusalDropsOnlyThatSessionsStream) {
  const auto a = plan(pseudo_random(4000, 3)), b = plan(pseudo_random(4000, 4));
  EXPECT_FALSE(feed(1, a, 0, 3));
  EXPECT_FALSE(feed(2, b, 0, 3));
  EXPECT_EQ(spools().size(), 2u);
  auto refused = table.push(2, 1, Bytes(17, 0), now);
  ASSERT_FALSE(refused);
  // Session 2's stream went, with its spool; session 1's is whole.
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(spools().size(), 1u);
  EXPECT_TRUE(feed(1, a, 3));
}

TEST_F(Streams, TheTableIsBoundedInStreamsAndSpoolSpace) {
  limits.max_streams = 2;
  limits.max_spool_bytes = 10000;
  table = StreamTable(dir.path(), limits);
  const auto a = plan(pseudo_random(4000, 5)), b = plan(pseudo_random(5000, 6)), c = plan(pseudo_random(2000, 7));
  EXPECT_FALSE(feed(1, a, 0, 1));
  EXPECT_FALSE(feed(2, b, 0, 1));
  auto full = table.push(3, 0, Bytes(c[0].bytes), now);
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().message, std::string("stream ") + kBlobId + " refused: 2 streams are in progress already");
  // A session that has a stream may announce again: it replaces its own.
  EXPECT_FALSE(feed(2, c, 0, 1));

  limits.max_streams = 4;
  table = StreamTable(dir.path(), limits);
  EXPECT_FALSE(feed(1, a, 0, 1));
  EXPECT_FALSE(feed(2, b, 0, 1));
  auto no_room = table.push(3, 0, Bytes(a[0].bytes), now);  // 4,000 more than the 1,000 left
  ASSERT_FALSE(no_room);
  EXPECT_EQ(no_room.error().message,
            std::string("stream ") + kBlobId + " refused: its 4000 bytes do not fit in the spool space left (1000 bytes)");
  EXPECT_EQ(table.size(), 2u);
  // The sizes of streams that have ended no longer count.
  EXPECT_TRUE(feed(1, a, 1));
  EXPECT_FALSE(feed(3, a, 0, 1));
  EXPECT_EQ(table.size(), 2u);
}

TEST_F(Streams, StalledAndOrphanedStreamsAreReportedAndAbandoned) {
  limits.stall_timeout = 10s;
  table = StreamTable(dir.path(), limits);
  const auto a = plan(pseudo_random(5000, 8)), b = plan(pseudo_random(3000, 9));
  // Session 1: frames 0 and 1 of 5, then nothing. Session 2: one frame of 3.
  EXPECT_FALSE(feed(1, a, 0, 5));
  EXPECT_FALSE(feed(2, b, 0, 3));
  EXPECT_EQ(spools().size(), 2u);

  now += 9s;
  EXPECT_FALSE(feed(2, b, 3, 5));  // session 2 makes progress; session 1 does not
  EXPECT_TRUE(table.abandon_stalled(now).empty());
  now += 1s;
  EXPECT_EQ(table.abandon_stalled(now),
            std::vector<std::string>{std::string("stream ") + kBlobId + " stalled: 2 of 5 frames arrived; abandoned"});
  EXPECT_EQ(spools().size(), 1u);
  // Reported once: the stream is gone, and its later chunks are dropped quietly.
  EXPECT_TRUE(table.abandon_stalled(now).empty());
  EXPECT_FALSE(feed(1, a, 5));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(feed(2, b, 5));
  EXPECT_TRUE(spools().empty());

  // A session that ends takes its stream with it.
  EXPECT_FALSE(feed(3, b, 0, 3));
  EXPECT_EQ(table.end_session(3), std::string("stream ") + kBlobId + " abandoned: its session ended with 1 of 3 frames arrived");
  EXPECT_EQ(table.end_session(3), std::nullopt);
  EXPECT_EQ(table.end_session(4), std::nullopt);
  EXPECT_TRUE(spools().empty());
}

// Whatever ends a stream that was announced names it, so that its sender can
// be told; a message that belongs to no stream names none.
TEST_F(Streams, AStreamThatWillNotLandIsNamedInItsReport) {
  const Bytes stream = pseudo_random(3000, 10);
  const auto messages = plan(stream);  // announcement, then per frame: registration, one chunk
  const std::string named = std::string("stream ") + kBlobId;
  auto schema = install::FileStreamAnnounce::from_control_payload(messages[0].bytes).value();
  schema.schema += " ";
  auto digest = install::FileStreamAnnounce::from_control_payload(messages[0].bytes).value();
  digest.sha256 = std::string(64, '0');
  struct Case {
    std::string name;
    std::function<std::vector<peer::OutgoingMessage>()> messages;
    std::optional<std::string> blob_id;
    std::string report;
    std::function<kio::Result<void>()> before_spool = {};
    bool no_spool_dir = false;
  };
  const auto with_announcement = [&](const install::FileStreamAnnounce& a) {
    auto m = messages;
    m[0].bytes = install::encode_announcement(a);
    return m;
  };
  const Case cases[] = {
      {"an announcement of another schema", [&] { return with_announcement(schema); }, kBlobId,
       named + " refused: Wire format error: file stream schema mismatch"},
      {"a stream whose digest does not match", [&] { return with_announcement(digest); }, kBlobId,
       named + " failed: Wire format error: file stream sha256 mismatch"},
      {"a malformed chunk in a stream",
       [&] {
         auto m = messages;
         m[2].bytes.resize(5);
         return m;
       },
       kBlobId, named + " failed: Wire format error: Chunk buffer too small"},
      {"a spool that cannot be made", [&] { return messages; }, kBlobId,
       named + " failed: IO error: No such file or directory (os error 2)", {}, true},
      {"a spool directory that is no longer the install's", [&] { return messages; }, kBlobId,
       named + " failed: install root /x was moved or removed after the store opened",
       []() -> kio::Result<void> { return kio::fail("install root /x was moved or removed after the store opened"); }},
      {"a malformed chunk with no stream",
       [&] { return std::vector<peer::OutgoingMessage>{{1, Bytes(5, 0)}}; }, std::nullopt,
       "Wire format error: Chunk buffer too small"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir spool;
    StreamTable t(c.no_spool_dir ? spool / "missing" : spool.path(), limits, c.before_spool);
    std::optional<StreamFailure> failure;
    for (const auto& message : c.messages()) {
      auto got = t.push(1, message.channel, Bytes(message.bytes), now);
      if (!got) {
        failure = got.error();
        break;
      }
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->blob_id, c.blob_id);
    EXPECT_EQ(failure->message, c.report);
    EXPECT_EQ(t.size(), 0u);
    EXPECT_TRUE(fs::is_empty(spool.path())) << "no spool is left, or made where it may not be";
  }
}

TEST(ReceiveQueue, KeepsOrderAndDropsWhatDoesNotFit) {
  const std::size_t message_cost = ReceiveQueue::OUTCOME_COST + 100;
  ReceiveQueue queue(2 * message_cost + 2 * ReceiveQueue::OUTCOME_COST);
  // Each outcome is built in place in the batch: moving a temporary variant in
  // makes g++ 12 at -O2 warn of maybe-uninitialized members of the other
  // alternatives, which no path reads.
  std::vector<p2p::ReceiveOutcome> batch;
  auto message = [&batch](std::uint8_t tag) {
    batch.emplace_back(std::in_place_type<p2p::ReceivedMessage>, Bytes(100, tag),
                       *p2p::SocketAddress::parse("127.0.0.1:1"), 1, 1);
  };
  message(1);
  batch.emplace_back(std::in_place_type<P2PError>, p2p::P2PErrorKind::NoSuchSession);
  message(2);
  message(3);                                                  // no room left for it
  batch.emplace_back(std::in_place_type<p2p::SessionEnded>, 7u);  // room for this
  queue.push(batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(queue.dropped(), 1u);

  std::deque<p2p::ReceiveOutcome> out;
  queue.pop(10ms, out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(std::get<p2p::ReceivedMessage>(out[0]).payload[0], 1);
  EXPECT_EQ(std::get<P2PError>(out[1]).kind(), p2p::P2PErrorKind::NoSuchSession);
  EXPECT_EQ(std::get<p2p::ReceivedMessage>(out[2]).payload[0], 2);
  EXPECT_EQ(std::get<p2p::SessionEnded>(out[3]).session_id, 7u);
  // Taken out, the room is there again.
  message(4);
  queue.push(batch);
  EXPECT_EQ(queue.dropped(), 1u);
  out.clear();
  queue.pop(10ms, out);
  ASSERT_EQ(out.size(), 1u);
  // Nothing queued: the wait ends empty-handed.
  out.clear();
  queue.pop(1ms, out);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace kio::connector
