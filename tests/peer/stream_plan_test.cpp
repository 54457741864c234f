#include "peer/stream_plan.h"

#include <gtest/gtest.h>

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

// A directory read from disk as it is sent gives the very messages of the same
// directory packed in memory.
TEST(PackedDirectory, SendsWhatPackingInMemoryWould) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::size_t>> files;  // name, size
    std::size_t frame_size;
  };
  const Case cases[] = {
      {"empty directory", {}, 100},
      {"one empty file", {{"a", 0}}, 100},
      {"records across frames", {{"b", 5000}, {"a", 1}, {"c", 0}, {"d", 2677}}, 1000},
      {"a frame per chunk", {{"x.mdb", 4000}}, p2p::MAX_CHUNK_SIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir tmp;
    std::filesystem::create_directories(tmp / "dir" / "subdir");
    for (const auto& [name, size] : c.files) {
      std::string body(size, '\0');
      for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + name[0]) % 256);
      test::write_file(tmp / "dir" / name, body);
    }
    const auto files = read_directory_files(tmp / "dir").value();
    const Bytes stream = install::pack_files(files);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reported;  // read, total
    auto packed = PackedDirectory::scan(tmp / "dir", [&](std::uint64_t read, std::uint64_t total) {
      reported.emplace_back(read, total);
    });
    ASSERT_TRUE(packed) << packed.error();
    // The progress counts file bytes only, rises, and ends at the files' total.
    std::uint64_t file_bytes = 0;
    for (const auto& [name, size] : c.files) file_bytes += size;
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    for (const auto& [read, total] : reported) EXPECT_EQ(total, file_bytes);
    if (file_bytes > 0) {
      ASSERT_FALSE(reported.empty());
      EXPECT_EQ(reported.back().first, file_bytes);
    }
    EXPECT_EQ(packed->entries(), file_entries(files));
    EXPECT_EQ(packed->sha256(), install::sha256_hex(stream));
    EXPECT_EQ(packed->size(), stream.size());

    const StreamDescription description{kDescription.feature_id, kDescription.blob_id, "bytes", packed->entries()};
    auto from_disk = StreamPlan::create(description, *packed, packed->sha256(), c.frame_size);
    ASSERT_TRUE(from_disk) << from_disk.error();
    const auto in_memory = plan_stream(description, stream, c.frame_size).value();
    std::vector<OutgoingMessage> sent;
    while (auto m = from_disk->next()) sent.push_back(std::move(*m));
    EXPECT_FALSE(from_disk->error());
    EXPECT_EQ(sent, in_memory);
  }
}

TEST(PackedDirectory, AFileThatChangesWhileItIsSentStopsThePlan) {
  test::TempDir tmp;
  test::write_file(tmp / "dir" / "a", std::string(3000, 'a'));
  test::write_file(tmp / "dir" / "b", std::string(3000, 'b'));
  auto packed = PackedDirectory::scan(tmp / "dir");
  ASSERT_TRUE(packed) << packed.error();
  auto plan = StreamPlan::create(kDescription, *packed, packed->sha256(), 2000);
  ASSERT_TRUE(plan);
  test::write_file(tmp / "dir" / "b", "short now");
  std::size_t messages = 0;
  while (plan->next()) ++messages;
  ASSERT_TRUE(plan->error());
  EXPECT_NE(plan->error()->find("changed while it was sent"), std::string::npos) << *plan->error();
  EXPECT_LT(messages, plan->message_count());
  EXPECT_FALSE(plan->next());
}

// Only the directory's own regular files are sent: not its subdirectories, not
// links (to a file, to a directory, or dangling); a directory that cannot be
// listed fails with the system's error.
TEST(PackedDirectory, SendsOnlyTheRegularFilesItself) {
  namespace fs = std::filesystem;
  test::TempDir tmp;
  test::write_file(tmp / "dir" / "b", "bb");
  test::write_file(tmp / "dir" / "a", "a");
  test::write_file(tmp / "outside", "outside");
  fs::create_directories(tmp / "dir" / "subdir");
  test::write_file(tmp / "dir" / "subdir" / "inner", "inner");
  fs::create_symlink(tmp / "outside", tmp / "dir" / "file-link");
  fs::create_directory_symlink(tmp / "dir" / "subdir", tmp / "dir" / "dir-link");
  fs::create_symlink(tmp / "missing", tmp / "dir" / "dangling");

  const auto files = read_directory_files(tmp / "dir").value();
  const std::vector<NamedFile> expected{{"a", Bytes{'a'}}, {"b", Bytes{'b', 'b'}}};
  EXPECT_EQ(files, expected);
  std::uint64_t total = 0;
  const auto packed = PackedDirectory::scan(tmp / "dir", [&](std::uint64_t, std::uint64_t all) { total = all; });
  ASSERT_TRUE(packed) << packed.error();
  EXPECT_EQ(packed->entries(), file_entries(files));
  EXPECT_EQ(total, 3u);

  EXPECT_EQ(read_directory_files(tmp / "none").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(PackedDirectory::scan(tmp / "none").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(read_directory_files(tmp / "outside").error(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace kio::peer
