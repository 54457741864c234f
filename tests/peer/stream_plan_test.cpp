#include "peer/stream_plan.h"

#include <gtest/gtest.h>

#include "install/crypto.h"
#include "p2p/chunking.h"
#include "tests/support/test_support.h"

namespace kio::peer {
namespace {

using install::FileStreamAnnounce;

const StreamDescription kDescription = {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
                                        "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8",
                                        "bytes",
                                        {{"data.mdb", 3, "ab"}}};

// Walks the messages and checks the order the receiver relies on: the
// announcement, then per frame its registration followed by all its chunks.
TEST(StreamPlan, AnnouncesThenRegistersEachFrameBeforeItsChunks) {
  struct Case {
    std::size_t stream_size;
    std::size_t frame_size;
    std::vector<std::size_t> frame_lengths;
  };
  const Case cases[] = {
      {0, 100, {0}},
      {1, 100, {1}},
      {2676, 5000, {2676}},            // exactly two full chunks
      {2677, 2676, {2676, 1}},         // a last frame of one byte
      {10000, 4000, {4000, 4000, 2000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.stream_size) + "/" + std::to_string(c.frame_size));
    Bytes stream(c.stream_size);
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i % 251);
    auto plan = StreamPlan::create(kDescription, stream, c.frame_size);
    ASSERT_TRUE(plan) << plan.error();
    const FileStreamAnnounce& announce = plan->announcement();
    EXPECT_EQ(announce.schema, "kio.bulk.file-stream.v1");
    EXPECT_EQ(announce.feature_id, kDescription.feature_id);
    EXPECT_EQ(announce.blob_id, kDescription.blob_id);
    EXPECT_EQ(announce.blob_class, "bytes");
    EXPECT_EQ(announce.files, kDescription.files);
    EXPECT_EQ(announce.total_bytes, c.stream_size);
    EXPECT_EQ(announce.sha256, install::sha256_hex(stream));
    EXPECT_EQ(announce.segment_count, c.frame_lengths.size());

    const std::uint64_t count = plan->message_count();
    std::vector<OutgoingMessage> messages;
    std::vector<std::uint64_t> produced;  // the plan's count after each message
    while (auto m = plan->next()) {
      messages.push_back(std::move(*m));
      produced.push_back(plan->produced_bytes());
    }
    EXPECT_FALSE(plan->next());
    ASSERT_EQ(messages.size(), count);

    ASSERT_EQ(messages[0].channel, 0);
    EXPECT_EQ(FileStreamAnnounce::from_control_payload(messages[0].bytes), announce);
    Bytes joined;
    std::size_t i = 1;
    for (std::uint64_t frame = 0; frame < c.frame_lengths.size(); ++frame) {
      ASSERT_LT(i, messages.size());
      ASSERT_EQ(messages[i].channel, 0);
      auto reg = p2p::FrameMetadata::from_control_payload(messages[i++].bytes);
      ASSERT_TRUE(reg);
      EXPECT_EQ(reg->frame_id, frame);
      EXPECT_EQ(reg->value, c.frame_lengths[frame]);
      const std::size_t length = c.frame_lengths[frame];
      const std::size_t chunks = length == 0 ? 1 : (length + p2p::MAX_CHUNK_SIZE - 1) / p2p::MAX_CHUNK_SIZE;
      ASSERT_EQ(reg->total_chunks, chunks);
      for (std::size_t k = 0; k < chunks; ++k) {
        ASSERT_LT(i, messages.size());
        ASSERT_EQ(messages[i].channel, 1);
        auto chunk = p2p::FrameChunk::deserialize(messages[i++].bytes);
        ASSERT_TRUE(chunk) << chunk.error();
        EXPECT_EQ(chunk->frame_id, frame);
        EXPECT_EQ(chunk->chunk_id, k);
        EXPECT_EQ(chunk->total_chunks, chunks);
        EXPECT_EQ(chunk->payload.size(), std::min(p2p::MAX_CHUNK_SIZE, length - k * p2p::MAX_CHUNK_SIZE));
        joined.insert(joined.end(), chunk->payload.begin(), chunk->payload.end());
        EXPECT_EQ(produced[i - 1], joined.size()) << "after message " << i - 1;
      }
      EXPECT_EQ(produced[i - 1 - chunks], joined.size() - length) << "a registration carries no stream bytes";
    }
    EXPECT_EQ(i, messages.size());
    EXPECT_EQ(joined, stream);
  }
}

TEST(StreamPlan, RefusesFrameSizesThatCannotBeSent) {
  const Bytes stream(10);
  EXPECT_EQ(StreamPlan::create(kDescription, stream, 0).error(), "frame size out of range");
  EXPECT_EQ(StreamPlan::create(kDescription, stream, p2p::MAX_STREAM_FRAME_SIZE + 1).error(),
            "frame size out of range");
  auto largest = StreamPlan::create(kDescription, stream, p2p::MAX_STREAM_FRAME_SIZE);
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->message_count(), 3u);
}

}  // namespace
}  // namespace kio::peer
