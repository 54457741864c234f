#include "install/stream_receiver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "peer/stream_plan.h"
#include "tests/support/fault_file_system.h"
#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using p2p::P2PError;
using p2p::P2PErrorKind;

constexpr char kFeatureId[] = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
constexpr char kBlobId[] = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";

using test::bytes_of;

// The bytes a completed stream's spool file holds.
Bytes spooled(const CompletedStream& stream) { return bytes_of(test::read_file(stream.spool.path())); }

using test::control;

using test::pseudo_random;

using test::names_in;

class Receiver : public ::testing::Test {
 protected:
  // Feeds messages; returns the stream if the last one completed it, and fails
  // the test if an earlier one completed it or any returned an error.
  std::optional<CompletedStream> feed(const std::vector<peer::OutgoingMessage>& messages) {
    std::optional<CompletedStream> completed;
    for (const auto& m : messages) {
      EXPECT_FALSE(completed) << "completed before the last message";
      auto got = receiver.push(m.channel, m.bytes);
      EXPECT_TRUE(got) << got.error().display();
      if (got && *got) completed = std::move(**got);
    }
    return completed;
  }
  P2PError feed_until_error(const std::vector<peer::OutgoingMessage>& messages) {
    for (const auto& m : messages) {
      auto got = receiver.push(m.channel, m.bytes);
      if (!got) return got.error();
      EXPECT_FALSE(*got) << "completed unexpectedly";
    }
    ADD_FAILURE() << "no error";
    return P2PError::other("none");
  }
  static std::vector<peer::OutgoingMessage> plan(const Bytes& stream, std::size_t frame_size,
                                                 std::vector<FileStreamEntry> files = {}) {
    return peer::plan_stream({kFeatureId, kBlobId, "bytes", std::move(files)}, stream, frame_size).value();
  }
  // The plan's messages with the announcement replaced.
  static std::vector<peer::OutgoingMessage> announced_as(std::vector<peer::OutgoingMessage> messages,
                                                         const FileStreamAnnounce& announce) {
    messages[0].bytes = encode_announcement(announce);
    return messages;
  }
  static FileStreamAnnounce announcement(const std::vector<peer::OutgoingMessage>& messages) {
    return *FileStreamAnnounce::from_control_payload(messages[0].bytes);
  }

  FileStreamReceiver receiver;
};

TEST_F(Receiver, ReassemblesStreamsOfManyShapes) {
  struct Case {
    std::size_t stream_size;
    std::size_t frame_size;
    std::size_t frames;
  };
  const Case cases[] = {
      {0, 1024, 1},                      // an empty stream is one empty frame
      {1, 1, 1},         {5, 1, 5},      // one-byte frames, one-byte chunks
      {1338, 1338, 1},   {1339, 1338, 2},
      {10000, 4000, 3},  // frames of several chunks, a short last frame
      {2621440, peer::StreamPlan::DEFAULT_STREAM_FRAME_SIZE, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.stream_size) + "/" + std::to_string(c.frame_size));
    const Bytes stream = pseudo_random(c.stream_size, static_cast<std::uint32_t>(c.stream_size));
    const auto messages = plan(stream, c.frame_size);
    EXPECT_EQ(announcement(messages).segment_count, c.frames);
    auto completed = feed(messages);
    ASSERT_TRUE(completed);
    EXPECT_EQ(spooled(*completed), stream);
    EXPECT_EQ(completed->announce, announcement(messages));
    EXPECT_EQ(completed->announce.sha256, sha256_hex(stream));
  }
}

// Frames larger than the memory bound wait on disk beside the spool: they land
// like any other, and one whose chunks pass what is left of the announced size
// is refused at once, naming the stream and the frame.
TEST_F(Receiver, FramesTooLargeForMemoryLandFromDisk) {
  test::TempDir spool_dir;
  const Bytes stream = pseudo_random(50000, 9);
  const auto messages = plan(stream, 20000);  // frames of 15 chunks, bound 8,000 bytes
  receiver = FileStreamReceiver({spool_dir.path(), 8000});
  auto completed = feed(messages);
  ASSERT_TRUE(completed);
  EXPECT_EQ(spooled(*completed), stream);

  FileStreamAnnounce announce = announcement(messages);
  announce.total_bytes = 30000;  // the second frame passes it with its chunks
  receiver = FileStreamReceiver({spool_dir.path(), 8000});
  const P2PError error = feed_until_error(announced_as(messages, announce));
  EXPECT_EQ(error.kind(), p2p::P2PErrorKind::Other);
  EXPECT_TRUE(error.display().starts_with("stream " + std::string(kBlobId) + ": frame ")) << error.display();
  EXPECT_NE(error.display().find(" refused: its chunks pass the 10000 bytes left of the announced stream"),
            std::string::npos)
      << error.display();
  EXPECT_EQ(receiver.announcement(), std::nullopt);
}

TEST_F(Receiver, FramesCompletingOutOfOrderFailTheDigest) {
  const Bytes stream = pseudo_random(3000, 1);
  auto messages = plan(stream, 1500);  // announcement, reg 0, 2 chunks, reg 1, 2 chunks
  ASSERT_EQ(messages.size(), 7u);
  // Register both frames, then send frame 1's chunks before frame 0's.
  const std::vector<peer::OutgoingMessage> reordered = {messages[0], messages[1], messages[4], messages[5],
                                                        messages[6], messages[2], messages[3]};
  EXPECT_EQ(feed_until_error(reordered), P2PError::wire_format("file stream sha256 mismatch"));
}

TEST_F(Receiver, RefusedAndUnreadableAnnouncementsLeaveTheStreamAlone) {
  const Bytes stream = pseudo_random(5000, 2);
  const auto messages = plan(stream, 2000);
  const std::vector<peer::OutgoingMessage> first_half(messages.begin(), messages.begin() + 4);
  const std::vector<peer::OutgoingMessage> second_half(messages.begin() + 4, messages.end());
  EXPECT_FALSE(feed(first_half));

  FileStreamAnnounce wrong_schema = announcement(messages);
  wrong_schema.schema = "kio.bulk.file-stream.v1 ";
  auto refused = receiver.push(0, encode_announcement(wrong_schema));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display(), "Wire format error: file stream schema mismatch");
  // No "files": not an announcement at all.
  auto ignored = receiver.push(0, control(R"({"schema":"kio.bulk.file-stream.v1","feature_id":"f","blob_id":"b",)"
                                          R"("blob_class":"c","sha256":"d","total_bytes":1,"segment_count":1})"));
  ASSERT_TRUE(ignored);
  EXPECT_FALSE(*ignored);
  // Other control messages and other channels are ignored too.
  for (const auto& [channel, bytes] : std::vector<std::pair<std::uint8_t, Bytes>>{
           {0, bytes_of("hello")}, {0, {}}, {2, messages[0].bytes}, {2, bytes_of("x")}, {255, {}}}) {
    auto got = receiver.push(channel, bytes);
    ASSERT_TRUE(got) << got.error().display();
    EXPECT_FALSE(*got);
  }

  auto completed = feed(second_half);
  ASSERT_TRUE(completed);
  EXPECT_EQ(spooled(*completed), stream);
}

TEST_F(Receiver, ANewAnnouncementDiscardsTheStreamInProgress) {
  const Bytes old_stream = pseudo_random(4000, 3);
  const auto old_messages = plan(old_stream, 2000);  // ann, reg0, c, c, reg1, c, c
  // Frame 0 complete and half of frame 1 received.
  EXPECT_FALSE(feed({old_messages.begin(), old_messages.begin() + 6}));

  const Bytes new_stream = pseudo_random(2000, 4);
  const auto new_messages = plan(new_stream, 2000);
  EXPECT_FALSE(feed({new_messages[0]}));
  // The rest of the old frame 1 completes nothing: its registration went too.
  EXPECT_FALSE(feed({old_messages[6]}));
  // Re-sending the whole old frame 1 counts as the new stream's one frame.
  auto wrong = receiver.push(0, old_messages[4].bytes);
  ASSERT_TRUE(wrong);
  EXPECT_FALSE(receiver.push(1, old_messages[5].bytes).value());
  EXPECT_EQ(receiver.push(1, old_messages[6].bytes).error(), P2PError::wire_format("file stream sha256 mismatch"));

  FileStreamReceiver fresh;
  receiver = std::move(fresh);
  EXPECT_FALSE(feed({old_messages.begin(), old_messages.begin() + 6}));
  auto completed = feed(new_messages);
  ASSERT_TRUE(completed);
  EXPECT_EQ(spooled(*completed), new_stream);
}

TEST_F(Receiver, SizeChecks) {
  const Bytes stream = pseudo_random(3000, 5);
  const auto messages = plan(stream, 1000);  // three frames of one chunk each
  ASSERT_EQ(messages.size(), 7u);

  struct Case {
    std::string name;
    std::uint64_t total_bytes;
    std::uint32_t segment_count;
    std::size_t error_at;  // index of the message that fails
    std::string error;
  };
  const Case cases[] = {
      {"one byte short of the data", 2999, 3, 6, "file stream size mismatch"},
      {"one byte more than the data", 3001, 3, 6, "file stream size mismatch"},
      {"far more than can be reserved", UINT64_MAX, 3, 6, "file stream size mismatch"},
      // Known too big as soon as the first frame lands, with frames still to come.
      {"first frame already too big", 999, 3, 2, "file stream size mismatch"},
      {"second frame already too big", 1999, 3, 4, "file stream size mismatch"},
      // A count of zero never completes, but the size still bounds it.
      {"no frames expected", 2500, 0, 6, "file stream size mismatch"},
      {"right size, wrong digest text case", 3000, 3, 6, "file stream sha256 mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FileStreamAnnounce announce = announcement(messages);
    announce.total_bytes = c.total_bytes;
    announce.segment_count = c.segment_count;
    if (c.error.find("sha256") != std::string::npos) {
      for (auto& ch : announce.sha256) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    FileStreamReceiver r;
    const auto sent = announced_as(messages, announce);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      auto got = r.push(sent[i].channel, sent[i].bytes);
      if (i == c.error_at) {
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error(), P2PError::wire_format(c.error));
        break;
      }
      ASSERT_TRUE(got) << i << ": " << got.error().display();
      EXPECT_FALSE(*got) << i;
    }
    // The failed stream is gone: the frames that follow complete nothing.
    for (std::size_t i = c.error_at + 1; i < sent.size(); ++i) EXPECT_EQ(r.push(sent[i].channel, sent[i].bytes), std::nullopt);
  }

  // Without an error, a count of zero waits for ever.
  FileStreamAnnounce announce = announcement(messages);
  announce.segment_count = 0;
  announce.total_bytes = UINT64_MAX;
  for (const auto& m : announced_as(messages, announce)) EXPECT_EQ(receiver.push(m.channel, m.bytes), std::nullopt);
}

TEST_F(Receiver, FramesBeforeTheAnnouncementAreNotPartOfTheStream) {
  const Bytes stream = pseudo_random(2000, 6);
  const auto messages = plan(stream, 1000);  // ann, reg0, c, reg1, c
  // Both frames completed with no stream announced, then the announcement.
  EXPECT_FALSE(feed({messages[1], messages[2], messages[3], messages[4], messages[0]}));
  auto completed = feed(messages);
  ASSERT_TRUE(completed);
  EXPECT_EQ(spooled(*completed), stream);
}

TEST_F(Receiver, MalformedChunksAreWireFormatErrors) {
  const std::pair<Bytes, std::string> cases[] = {
      {Bytes(17), "Wire format error: Chunk buffer too small"},
      {p2p::encode_chunk(1, 0, 0, {}), "Wire format error: total_chunks cannot be zero"},
      {p2p::encode_chunk(1, 2, 2, {}), "Wire format error: chunk_id must be < total_chunks"},
      {p2p::encode_chunk(1, 0, 1, Bytes(1339)), "Wire format error: chunk payload exceeds MAX_CHUNK_SIZE"},
      {[] { Bytes b = p2p::encode_chunk(1, 0, 1, Bytes(100)); b.pop_back(); return b; }(),
       "Wire format error: chunk payload truncated"},
  };
  for (const auto& [bytes, display] : cases) {
    auto got = receiver.push(1, bytes);
    ASSERT_FALSE(got) << display;
    EXPECT_EQ(got.error().kind(), P2PErrorKind::WireFormat);
    EXPECT_EQ(got.error().display(), display);
  }
  // The same bytes on the control channel are not chunks.
  EXPECT_EQ(receiver.push(0, Bytes(17)), std::nullopt);
}

TEST_F(Receiver, TheSpoolFileLivesOnlyAsLongAsItsStream) {
  test::TempDir spool_dir;
  const ReceiverOptions options{spool_dir.path(), p2p::MAX_PARTIAL_BYTES};
  const Bytes stream = pseudo_random(5000, 11);
  const auto messages = plan(stream, 1000);  // ann, then reg + chunk per frame
  auto spools = [&] { return names_in(spool_dir.path()); };

  struct Case {
    std::string name;
    std::size_t fed;  // messages of the plan fed first
    std::function<void(std::optional<FileStreamReceiver>&)> end;
  };
  const Case cases[] = {
      {"receiver dropped mid-stream", 5, [](auto& r) { r.reset(); }},
      {"a new announcement", 5, [&](auto& r) { EXPECT_EQ(r->push(0, messages[0].bytes), std::nullopt); }},
      {"a refused chunk", 5, [](auto& r) { EXPECT_FALSE(r->push(1, Bytes(17))); r.reset(); }},
      {"frames beyond the announced size", 3,
       [&](auto& r) {
         // Frames of 1338 bytes: the fourth passes the announced 5000 bytes.
         p2p::P2PResult<std::optional<CompletedStream>> got = std::nullopt;
         for (std::uint64_t id = 100; id < 103 && got; ++id) {
           r->push(0, p2p::encode_registration(id, 1, 1338));
           got = r->push(1, p2p::encode_chunk(id, 0, 1, Bytes(1338, 7)));
         }
         EXPECT_EQ(got.error(), P2PError::wire_format("file stream size mismatch"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<FileStreamReceiver> r(std::in_place, options);
    for (std::size_t i = 0; i < c.fed; ++i) ASSERT_EQ(r->push(messages[i].channel, messages[i].bytes), std::nullopt);
    ASSERT_EQ(spools().size(), 1u);
    EXPECT_TRUE(spools()[0].starts_with(".spool-"));
    EXPECT_EQ(test::file_mode(spool_dir / spools()[0]), 0600u);
    c.end(r);
    EXPECT_TRUE(spools().empty());
  }

  // A completed stream carries its spool; dropping the stream removes it, and a
  // digest mismatch removes it at once.
  {
    FileStreamReceiver r(options);
    std::optional<CompletedStream> completed;
    for (const auto& m : messages) {
      auto got = r.push(m.channel, m.bytes);
      ASSERT_TRUE(got);
      if (*got) completed = std::move(**got);
    }
    ASSERT_TRUE(completed);
    EXPECT_EQ(completed->spool.path().parent_path(), spool_dir.path());
    EXPECT_EQ(spools().size(), 1u);
    completed.reset();
    EXPECT_TRUE(spools().empty());
  }
  FileStreamAnnounce wrong = announcement(messages);
  wrong.sha256 = sha256_hex(std::string_view("other"));
  FileStreamReceiver r(options);
  const auto sent = announced_as(messages, wrong);
  for (std::size_t i = 0; i + 1 < sent.size(); ++i) ASSERT_EQ(r.push(sent[i].channel, sent[i].bytes), std::nullopt);
  EXPECT_EQ(r.push(sent.back().channel, sent.back().bytes).error(), P2PError::wire_format("file stream sha256 mismatch"));
  EXPECT_TRUE(spools().empty());

  // Left over from a crash: removed, and nothing else in the directory is.
  test::write_file(spool_dir / ".spool-abc123", "x");
  test::write_file(spool_dir / "blob", "y");
  SpoolFile::remove_leftovers(spool_dir.path());
  EXPECT_EQ(spools(), std::vector<std::string>{"blob"});
}

// With files written as they arrive: the stream's files appear beside the
// spool while the frames come, each whole once its record's bytes are in.
TEST_F(Receiver, FilesAreWrittenAsTheStreamArrives) {
  test::TempDir spool_dir;
  receiver = FileStreamReceiver({spool_dir.path(), p2p::MAX_PARTIAL_BYTES, true});
  const std::vector<NamedFile> files = {
      {"data.mdb", pseudo_random(1980, 3)}, {"lock.mdb", bytes_of("first")}, {"lock.mdb", bytes_of("L")}};
  const Bytes stream = pack_files(files);
  const auto messages = plan(stream, 1000, test::file_entries({files[0], files[2]}));
  ASSERT_EQ(announcement(messages).segment_count, 3u);

  // Two frames of three hold the first record (20 bytes of header, 1980 of
  // body): its file is whole, the next not yet begun.
  ASSERT_FALSE(feed({messages.begin(), messages.begin() + 5}));
  auto names = names_in(spool_dir.path());
  ASSERT_EQ(names.size(), 2u);
  ASSERT_TRUE(names[0].starts_with(".incoming-spool-"));
  EXPECT_EQ(names[0].substr(std::string(".incoming-").size()), names[1].substr(1)) << "named after its spool";
  const fs::path staged = spool_dir / names[0];
  EXPECT_EQ(names_in(staged), std::vector<std::string>{"data.mdb"});
  EXPECT_EQ(test::read_file(staged / "data.mdb"), std::string(files[0].second.begin(), files[0].second.end()));

  auto completed = feed({messages.begin() + 5, messages.end()});
  ASSERT_TRUE(completed);
  ASSERT_TRUE(completed->unpacked);
  EXPECT_EQ(completed->unpacked->dir(), staged);
  const auto finished = completed->unpacked->finish();
  ASSERT_TRUE(finished) << finished.error();
  EXPECT_TRUE(*finished);
  // The later record of a name replaced the earlier one's file.
  EXPECT_EQ(names_in(staged), (std::vector<std::string>{"data.mdb", "lock.mdb"}));
  EXPECT_EQ(test::read_file(staged / "lock.mdb"), "L");
  EXPECT_EQ(spooled(*completed), stream);
  completed.reset();
  EXPECT_TRUE(names_in(spool_dir.path()).empty()) << "dropped with the stream";
}

// With a writer thread, the spool is appended to by the writer: a completed
// stream's spool holds every byte and its files are all written once `finish`
// returns; an append the system refuses ends the stream with the system's
// words, at the latest when the stream completes, and leaves nothing behind.
TEST_F(Receiver, AWriterThreadKeepsTheSpoolAndTheFiles) {
  const std::vector<NamedFile> files = {{"data.mdb", pseudo_random(3 * StreamFilesWriter::kBufferBytes + 5, 3)},
                                        {"lock.mdb", bytes_of("L")}};
  const Bytes stream = pack_files(files);
  const auto messages = plan(stream, 256 * 1024, test::file_entries(files));
  {
    test::TempDir spool_dir;
    receiver = FileStreamReceiver({spool_dir.path(), p2p::MAX_PARTIAL_BYTES, true, true});
    auto completed = feed(messages);
    ASSERT_TRUE(completed);
    ASSERT_TRUE(completed->unpacked);
    EXPECT_TRUE(completed->unpacked->in_background());
    EXPECT_EQ(spooled(*completed), stream);
    const auto finished = completed->unpacked->finish();
    ASSERT_TRUE(finished) << finished.error();
    ASSERT_TRUE(*finished);
    EXPECT_TRUE(test::read_file(completed->unpacked->dir() / "data.mdb") ==
                std::string(files[0].second.begin(), files[0].second.end()));
    EXPECT_EQ(test::read_file(completed->unpacked->dir() / "lock.mdb"), "L");
    completed.reset();
    EXPECT_TRUE(names_in(spool_dir.path()).empty());
  }
  for (const std::size_t nth : {std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE("append " + std::to_string(nth) + " refused");
    test::TempDir spool_dir;
    test::FaultFileSystem faulty(spool_dir.path());
    const ScopedFileSystem installed(faulty);
    // The writer's writes alternate: a buffer to the spool, then to the files.
    faulty.fail(test::FsOp::write, 2 * nth - 1, ENOSPC);
    receiver = FileStreamReceiver({spool_dir.path(), p2p::MAX_PARTIAL_BYTES, true, true});
    EXPECT_EQ(feed_until_error(messages), P2PError::io("No space left on device (os error 28)"));
    EXPECT_TRUE(faulty.failed());
    EXPECT_TRUE(names_in(spool_dir.path()).empty()) << "spool and files gone with the stream";
  }
}

// Whatever ends a stream before it is handed out takes the files written so far,
// also those a writer thread was handed (it has stopped by then).
TEST_F(Receiver, AStreamThatEndsTakesTheFilesWrittenSoFar) {
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "written on a thread of their own" : "written by push");
    test::TempDir spool_dir;
    const ReceiverOptions options{spool_dir.path(), p2p::MAX_PARTIAL_BYTES, true, background};
    // Records of 3000 and 2513 bytes.
    const Bytes stream = pack_files(std::vector<NamedFile>{{"a", pseudo_random(2987, 5)}, {"b", pseudo_random(2500, 6)}});
    const auto messages = plan(stream, 1000);
    ASSERT_EQ(messages.size(), 13u);  // ann, then reg + chunk for each of 6 frames
    FileStreamAnnounce wrong = announcement(messages);
    wrong.sha256 = sha256_hex(std::string_view("other"));
    const auto wrong_digest = announced_as(messages, wrong);
    // Frames 2 and 3 complete before frame 1: the bytes are not the stream's.
    std::vector<peer::OutgoingMessage> reordered = messages;
    std::swap(reordered[3], reordered[5]);
    std::swap(reordered[4], reordered[6]);

    struct Case {
      std::string name;
      std::function<void(std::optional<FileStreamReceiver>&)> end;
    };
    const Case cases[] = {
        {"receiver dropped mid-stream", [](auto& r) { r.reset(); }},
        {"a new announcement", [&](auto& r) { EXPECT_EQ(r->push(0, messages[0].bytes), std::nullopt); }},
        {"frames beyond the announced size",
         [](auto& r) {
           p2p::P2PResult<std::optional<CompletedStream>> got = std::nullopt;
           for (std::uint64_t id = 100; id < 103 && got; ++id) {
             r->push(0, p2p::encode_registration(id, 1, 1338));
             got = r->push(1, p2p::encode_chunk(id, 0, 1, Bytes(1338, 7)));
           }
           EXPECT_EQ(got.error(), P2PError::wire_format("file stream size mismatch"));
         }},
        {"a digest that does not match",
         [&](auto& r) {
           r.emplace(options);
           for (std::size_t i = 0; i + 1 < wrong_digest.size(); ++i) r->push(wrong_digest[i].channel, wrong_digest[i].bytes);
           EXPECT_EQ(r->push(wrong_digest.back().channel, wrong_digest.back().bytes).error(),
                     P2PError::wire_format("file stream sha256 mismatch"));
         }},
        {"frames completing out of order",
         [&](auto& r) {
           r.emplace(options);
           for (std::size_t i = 0; i + 1 < reordered.size(); ++i) r->push(reordered[i].channel, reordered[i].bytes);
           EXPECT_EQ(r->push(reordered.back().channel, reordered.back().bytes).error(),
                     P2PError::wire_format("file stream sha256 mismatch"));
         }},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      std::optional<FileStreamReceiver> r(std::in_place, options);
      for (std::size_t i = 0; i < 7; ++i) ASSERT_EQ(r->push(messages[i].channel, messages[i].bytes), std::nullopt);
      const auto names = names_in(spool_dir.path());
      ASSERT_EQ(names.size(), 2u);
      if (!background) {
        ASSERT_EQ(names_in(spool_dir / names[0]), std::vector<std::string>{"a"}) << "three frames hold the first file";
      }
      c.end(r);
      EXPECT_TRUE(names_in(spool_dir.path()).empty());
    }

    // Left over from a crash: removed with the spool files, and nothing else is.
    test::write_file(spool_dir / ".incoming-spool-abc123" / "a", "x");
    test::write_file(spool_dir / ".incoming-other" / "a", "y");
    SpoolFile::remove_leftovers(spool_dir.path());
    EXPECT_EQ(names_in(spool_dir.path()), std::vector<std::string>{".incoming-other"});
  }
}

}  // namespace
}  // namespace kio::install
