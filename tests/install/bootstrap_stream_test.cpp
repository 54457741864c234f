#include "install/bootstrap_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "peer/stream_plan.h"
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

Bytes control(const std::string& json) {
  Bytes out = {0xFB};
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

using test::pseudo_random;

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---- Announcement

TEST(FileStreamAnnounce, ReadsAnnouncementsOnly) {
  const std::string good =
      R"({"schema":"kio.bulk.file-stream.v1","feature_id":"f","blob_id":"b","blob_class":"bytes",)"
      R"("sha256":"ab","total_bytes":18446744073709551615,"segment_count":4294967295,"note":[1],)"
      R"("files":[{"name":"a","size":3,"sha256":"cd","x":null}]})";
  auto announce = FileStreamAnnounce::from_control_payload(control(" " + good + "\n"));
  ASSERT_TRUE(announce);
  EXPECT_EQ(*announce, (FileStreamAnnounce{"kio.bulk.file-stream.v1", "f", "b", "bytes", "ab",
                                           18446744073709551615u, 4294967295u, {{"a", 3, "cd"}}}));

  const std::string head = R"({"schema":"s","feature_id":"f","blob_id":"b","blob_class":"c","sha256":"d",)";
  struct Case {
    std::string name;
    Bytes bytes;
  };
  const Case unreadable[] = {
      {"empty", {}},
      {"other marker", [&] { Bytes b = control(good); b[0] = 0xFA; return b; }()},
      {"no marker", bytes_of(good)},
      {"missing files", control(head + R"("total_bytes":1,"segment_count":1})")},
      {"total_bytes as text", control(head + R"("total_bytes":"1","segment_count":1,"files":[]})")},
      {"negative total_bytes", control(head + R"("total_bytes":-1,"segment_count":1,"files":[]})")},
      {"segment_count 2^32", control(head + R"("total_bytes":1,"segment_count":4294967296,"files":[]})")},
      {"entry without sha256", control(head + R"("total_bytes":1,"segment_count":1,"files":[{"name":"a","size":1}]})")},
      {"entry not an object", control(head + R"("total_bytes":1,"segment_count":1,"files":["a"]})")},
      {"duplicate member", control(head + R"("total_bytes":1,"total_bytes":1,"segment_count":1,"files":[]})")},
      {"trailing text", control(good + " {}")},
      {"array", control("[" + good + "]")},
  };
  for (const auto& c : unreadable) EXPECT_FALSE(FileStreamAnnounce::from_control_payload(c.bytes)) << c.name;
}

TEST(FileStreamAnnounce, RoundTripsTheEncoder) {
  const FileStreamAnnounce announce{"kio.bulk.file-stream.v1", kFeatureId, kBlobId, "feature", std::string(64, 'a'),
                                    123456789012345u, 7, {{"quote\"slash\\/\x01", 0, "x"}, {"caf\xc3\xa9", 1, ""}}};
  const Bytes encoded = encode_announcement(announce);
  ASSERT_EQ(encoded[0], 0xFB);
  // Compact JSON in declaration order.
  EXPECT_EQ(std::string(encoded.begin() + 1, encoded.begin() + 45),
            R"({"schema":"kio.bulk.file-stream.v1","feature)");
  EXPECT_EQ(FileStreamAnnounce::from_control_payload(encoded), announce);
}

// ---- Receiver

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

// The digest of each listed file is computed from the records as they arrive,
// however the bytes are cut into pieces; the last record of a name counts, and
// a record the stream does not complete gives none.
TEST(RecordDigests, ReadsRecordsOnTheFly) {
  const Bytes a1 = pseudo_random(3000, 1), a2 = pseudo_random(10, 2), b = pseudo_random(2676, 3);
  Bytes stream = pack_files(std::vector<NamedFile>{{"a", a1},
                                                   {"unlisted", pseudo_random(500, 4)},
                                                   {"empty", {}},
                                                   {std::string(300, 'n'), bytes_of("long unlisted name")},
                                                   {"b", b},
                                                   {"a", a2},
                                                   {"", bytes_of("nameless")}});
  const Bytes cut_short = pack_files(std::vector<NamedFile>{{"c", bytes_of("never complete")}});
  stream.insert(stream.end(), cut_short.begin(), cut_short.end() - 1);
  const std::vector<FileStreamEntry> listed = {
      {"a", 0, ""}, {"b", 0, ""}, {"empty", 0, ""}, {"c", 0, ""}, {"missing", 0, ""}, {"bb", 0, ""}};
  const std::map<std::string, std::string> expected = {
      {"a", sha256_hex(a2)}, {"b", sha256_hex(b)}, {"empty", sha256_hex(Bytes{})}};

  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{1338}, stream.size()}) {
    RecordDigests digests(listed);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      digests.update(std::span<const std::uint8_t>(stream).subspan(at, std::min(piece, stream.size() - at)));
    }
    EXPECT_EQ(digests.digests(), expected) << "pieces of " << piece;
  }
}

// ---- Packing and unpacking

TEST(PackFiles, RecordLayout) {
  const Bytes packed = pack_files(std::vector<NamedFile>{{"ab", {0x01, 0x02, 0x03}}, {"", {}}});
  EXPECT_EQ(test::hex_of(packed),
            "02000000" "6162" "0300000000000000" "010203"
            "00000000" "0000000000000000");
}

Bytes records(const std::vector<NamedFile>& files) { return pack_files(files); }


// The two ways in: stream bytes in memory, and the same bytes in a file (a
// landed stream's packed.bin), read record by record with bodies copied in the
// kernel. Both must give the same files and the same errors.
struct Unpacker {
  std::string name;
  std::function<p2p::P2PResult<std::vector<fs::path>>(const Bytes&, const fs::path&)> unpack;
};
const std::vector<Unpacker>& unpackers() {
  static const std::vector<Unpacker> all = {
      {"from memory", [](const Bytes& stream, const fs::path& dir) { return unpack_files(stream, dir); }},
      {"from a file",
       [](const Bytes& stream, const fs::path& dir) {
         test::TempDir packed_dir;
         const fs::path packed = packed_dir / "packed.bin";
         test::write_file(packed, std::string(stream.begin(), stream.end()));
         return unpack_files_from(packed, dir);
       }},
  };
  return all;
}

TEST(UnpackFiles, WritesEveryRecordInStreamOrder) {
  for (const auto& [how, unpack_files] : unpackers()) {
  SCOPED_TRACE(how);
  test::TempDir tmp;
  const fs::path dir = tmp / "a" / "b" / "index";
  const Bytes stream = records({{"data.mdb", bytes_of("contents")},
                                {"...", bytes_of("three dots")},
                                {"a..b", {}},
                                {"..x", bytes_of("1")},
                                {"caf\xc3\xa9", pseudo_random(200000, 8)},
                                {"data.mdb", bytes_of("second")}});
  auto written = unpack_files(stream, dir);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(*written, (std::vector<fs::path>{dir / "data.mdb", dir / "...", dir / "a..b", dir / "..x",
                                             dir / "caf\xc3\xa9", dir / "data.mdb"}));
  EXPECT_EQ(test::read_file(dir / "data.mdb"), "second");  // the later record wins
  EXPECT_EQ(test::read_file(dir / "..."), "three dots");
  EXPECT_EQ(test::read_file(dir / "a..b"), "");
  const Bytes big = pseudo_random(200000, 8);
  EXPECT_EQ(test::read_file(dir / "caf\xc3\xa9"), std::string(big.begin(), big.end()));
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"...", "..x", "a..b", "caf\xc3\xa9", "data.mdb"}));

  const fs::path empty_dir = tmp / "empty" / "index";
  auto none = unpack_files({}, empty_dir);
  ASSERT_TRUE(none) << none.error().display();
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(fs::is_directory(empty_dir));
  }
}

TEST(UnpackFiles, RefusesMalformedRecordsAfterWritingTheEarlierOnes) {
  const Bytes first = records({{"first", bytes_of("ok")}});
  const Bytes good = records({{"good", bytes_of("body")}});  // 4 + 4 + 8 + 4 = 20 bytes
  auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)); };
  auto header_only = [](std::uint32_t name_length, const std::string& name, std::uint64_t body_length) {
    Bytes b;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(name_length >> (8 * i)));
    b.insert(b.end(), name.begin(), name.end());
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(body_length >> (8 * i)));
    return b;
  };
  struct Case {
    std::string name;
    Bytes record;
    std::string error;
  };
  const Case cases[] = {
      {"3 bytes of name length", cut(3), "truncated file stream name length"},
      {"name cut short", cut(6), "truncated file stream name"},
      {"body length cut short", cut(15), "truncated file stream name"},
      {"name length 2^32-1", header_only(0xFFFFFFFFu, "ab", 0), "truncated file stream name"},
      {"body one byte short", cut(19), "truncated file stream body"},
      {"body length 2^64-1", header_only(1, "a", UINT64_MAX), "truncated file stream body"},
      {"unsafe name and truncated body", header_only(2, "..", 5), "truncated file stream body"},
      {"name not utf-8", records({{"a\xff", bytes_of("x")}}), "file stream name is not utf8"},
      {"overlong utf-8", records({{"\xc0\xaf", bytes_of("x")}}), "file stream name is not utf8"},
      {"empty name", records({{"", bytes_of("x")}}), "unsafe file stream name"},
      {"two dots", records({{"..", bytes_of("x")}}), "unsafe file stream name"},
      {"slash", records({{"../escape", bytes_of("x")}}), "unsafe file stream name"},
      {"leading slash", records({{"/tmp/escape", bytes_of("x")}}), "unsafe file stream name"},
      {"trailing slash", records({{"dir/", bytes_of("x")}}), "unsafe file stream name"},
      {"backslash", records({{"a\\b", bytes_of("x")}}), "unsafe file stream name"},
      // A NUL would cut the name short at the system call and write another file.
      {"nul byte", records({{std::string("a\0b", 3), bytes_of("x")}}), "unsafe file stream name"},
  };
  for (const auto& [how, unpack_files] : unpackers()) {
    for (const auto& c : cases) {
      test::TempDir tmp;
      const fs::path dir = tmp / "index";
      Bytes stream = first;
      stream.insert(stream.end(), c.record.begin(), c.record.end());
      auto got = unpack_files(stream, dir);
      ASSERT_FALSE(got) << how << ": " << c.name;
      EXPECT_EQ(got.error(), P2PError::wire_format(c.error)) << how << ": " << c.name;
      EXPECT_EQ(names_in(dir), std::vector<std::string>{"first"}) << how << ": " << c.name;
      EXPECT_EQ(names_in(tmp.path()), std::vector<std::string>{"index"}) << how << ": " << c.name;
    }
  }
}

// A name too long to be read whole is checked block by block, with the same
// errors in the same order; a sound one names no file any system takes.
TEST(UnpackFiles, NamesTooLongToReadWhole) {
  const std::string a(65535, 'a');
  struct Case {
    std::string name;
    std::string file_name;
    std::uint64_t body_length;
    P2PError error;
  };
  const Case cases[] = {
      {"plain", std::string(70000, 'a'), 1, P2PError::io("File name too long (os error 36)")},
      {"a character across the block end", a + "\xc3\xa9" + std::string(1000, 'b'), 1,
       P2PError::io("File name too long (os error 36)")},
      {"a character cut at the end", std::string(70000, 'a') + "\xc3", 1,
       P2PError::wire_format("file stream name is not utf8")},
      {"bad byte in the second block", a + "bb\xff", 1, P2PError::wire_format("file stream name is not utf8")},
      {"slash at the end", std::string(69999, 'a') + "/", 1, P2PError::wire_format("unsafe file stream name")},
      {"slash and a body cut short", std::string(69999, 'a') + "/", 5,
       P2PError::wire_format("truncated file stream body")},
  };
  for (const auto& [how, unpack_files] : unpackers()) {
    for (const auto& c : cases) {
      test::TempDir tmp;
      Bytes stream = records({{c.file_name, bytes_of("x")}});
      // The body length field, after the name.
      for (int i = 0; i < 8; ++i) stream[4 + c.file_name.size() + i] = static_cast<std::uint8_t>(c.body_length >> (8 * i));
      auto got = unpack_files(stream, tmp / "index");
      ASSERT_FALSE(got) << how << ": " << c.name;
      EXPECT_EQ(got.error(), c.error) << how << ": " << c.name << ": " << got.error().display();
    }
  }
}

TEST(UnpackFiles, OperatingSystemFailuresAreIoErrors) {
  test::TempDir tmp;
  // A single dot passes the name check and names the directory itself.
  auto dot = unpack_files(records({{"ok", bytes_of("1")}, {".", bytes_of("x")}}), tmp / "index");
  ASSERT_FALSE(dot);
  EXPECT_EQ(dot.error(), P2PError::io("Is a directory (os error 21)"));
  EXPECT_EQ(test::read_file(tmp / "index" / "ok"), "1");

  test::write_file(tmp / "plain", "file");
  auto not_dir = unpack_files({}, tmp / "plain" / "index");
  ASSERT_FALSE(not_dir);
  EXPECT_EQ(not_dir.error(), P2PError::io("Not a directory (os error 20)"));
  // A file where the directory should be: mkdir's own error.
  auto is_file = unpack_files({}, tmp / "plain");
  ASSERT_FALSE(is_file);
  EXPECT_EQ(is_file.error(), P2PError::io("File exists (os error 17)"));
  // Missing ancestors are made; an existing directory is fine.
  ASSERT_TRUE(unpack_files({}, tmp / "deep" / "er" / "index"));
  ASSERT_TRUE(unpack_files({}, tmp / "deep" / "er" / "index"));

  // A symbolic link already in the directory is not written through.
  test::write_file(tmp / "target", "keep");
  fs::create_directories(tmp / "links");
  fs::create_symlink(tmp / "target", tmp / "links" / "name");
  auto link = unpack_files(records({{"name", bytes_of("overwrite")}}), tmp / "links");
  ASSERT_FALSE(link);
  EXPECT_EQ(link.error().kind(), P2PErrorKind::Io);
  EXPECT_EQ(test::read_file(tmp / "target"), "keep");
}

// ---- Materialising

TEST(MaterializeStream, ChecksEveryListedFile) {
  const std::vector<NamedFile> files = {{"data.mdb", pseudo_random(150000, 9)}, {"lock.mdb", bytes_of("L")}};
  const Bytes stream = records(files);
  const std::vector<FileStreamEntry> entries = peer::file_entries(files);
  ASSERT_EQ(entries[1], (FileStreamEntry{"lock.mdb", 1, sha256_hex(std::string_view("L"))}));

  auto with_files = [](std::vector<FileStreamEntry> list) {
    FileStreamAnnounce a;
    a.files = std::move(list);
    return a;
  };
  struct Case {
    std::string name;
    std::vector<FileStreamEntry> listed;
    std::optional<P2PError> error;
  };
  test::TempDir outer;
  test::write_file(outer / "outside", "outside");
  std::vector<FileStreamEntry> wrong_size = entries;
  wrong_size[0].size = 1;
  std::vector<FileStreamEntry> wrong_digest = entries;
  wrong_digest[1].sha256 = sha256_hex(std::string_view("M"));
  std::vector<FileStreamEntry> uppercase = entries;
  for (auto& ch : uppercase[0].sha256) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  const Case cases[] = {
      {"all listed", entries, std::nullopt},
      {"none listed", {}, std::nullopt},
      {"one listed", {entries[1]}, std::nullopt},
      {"wrong size, right digest", wrong_size, std::nullopt},
      {"wrong digest", wrong_digest, P2PError::wire_format("file stream entry sha256 mismatch")},
      {"digest in upper case", uppercase, P2PError::wire_format("file stream entry sha256 mismatch")},
      {"listed but not sent", {entries[0], {"missing", 0, sha256_hex(std::string_view(""))}},
       P2PError::io("No such file or directory (os error 2)")},
      // Names that cannot come out of a stream are not followed out of the directory.
      {"parent path", {{"../outside", 7, sha256_hex(std::string_view("outside"))}},
       P2PError::wire_format("unsafe file stream name")},
      {"absolute path", {{(outer / "outside").string(), 7, sha256_hex(std::string_view("outside"))}},
       P2PError::wire_format("unsafe file stream name")},
  };
  for (const auto& c : cases) {
    test::TempDir tmp;
    test::write_file(tmp / "outside", "outside");
    const fs::path dir = tmp / "index";
    auto got = materialize_stream(with_files(c.listed), stream, dir);
    if (c.error) {
      ASSERT_FALSE(got) << c.name;
      EXPECT_EQ(got.error(), *c.error) << c.name << ": " << got.error().display();
    } else {
      ASSERT_TRUE(got) << c.name << ": " << got.error().display();
      EXPECT_EQ(*got, (std::vector<fs::path>{dir / "data.mdb", dir / "lock.mdb"})) << c.name;
    }
    // Every record was written before the digests were checked.
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"data.mdb", "lock.mdb"})) << c.name;
  }

  test::TempDir tmp;
  Bytes broken = stream;
  broken.pop_back();
  EXPECT_EQ(materialize_stream(with_files(entries), broken, tmp / "index").error(),
            P2PError::wire_format("truncated file stream body"));
}

TEST(MaterializeStream, MultiFrameStreamFromDirectoryToDirectory) {
  test::TempDir tmp;
  const fs::path source = tmp / "source";
  test::write_file(source / "b.bin", std::string(5000, 'b'));
  test::write_file(source / "a.txt", "alpha");
  test::write_file(source / "c", "");
  fs::create_directories(source / "subdir");
  const auto files = peer::read_directory_files(source).value();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].first, "a.txt");
  const Bytes stream = pack_files(files);

  auto messages = peer::plan_stream({kFeatureId, kBlobId, "bytes", peer::file_entries(files)}, stream, 2000).value();
  EXPECT_EQ(FileStreamAnnounce::from_control_payload(messages[0].bytes)->segment_count, 3u);
  FileStreamReceiver receiver;
  std::optional<CompletedStream> completed;
  for (const auto& m : messages) {
    ASSERT_FALSE(completed);
    auto got = receiver.push(m.channel, m.bytes);
    ASSERT_TRUE(got) << got.error().display();
    if (*got) completed = std::move(**got);
  }
  ASSERT_TRUE(completed);
  const fs::path out = tmp / "blobs" / (std::string(kBlobId) + ".lmdb");
  auto written = materialize_stream(completed->announce, spooled(*completed), out);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(written->size(), 3u);
  for (const char* name : {"a.txt", "b.bin", "c"}) EXPECT_EQ(test::read_file(out / name), test::read_file(source / name));
}

}  // namespace
}  // namespace kio::install
