#include "install/stream_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"

namespace kio::install {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kFeatureId[] = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
constexpr char kBlobId[] = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";

using test::bytes_of;

using test::control;

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

// ---- File records

TEST(PackFiles, RecordLayout) {
  const Bytes packed = pack_files(std::vector<NamedFile>{{"ab", {0x01, 0x02, 0x03}}, {"", {}}});
  EXPECT_EQ(test::hex_of(packed),
            "02000000" "6162" "0300000000000000" "010203"
            "00000000" "0000000000000000");
}

// What a RecordReader says, written down: each name and body whole (their
// pieces joined, each body piece's `left` checked against what follows), and
// where a record ends. `stop_at` makes the call of that kind return false.
struct RecordLog {
  std::string log;
  std::string stop_at;
  std::uint64_t body_left = 0;

  bool name_length(std::uint32_t n) {
    log += "[" + std::to_string(n) + ":";
    return stop_at != "name_length";
  }
  void name(std::span<const std::uint8_t> piece) { log.append(piece.begin(), piece.end()); }
  bool body_length(std::uint64_t n) {
    body_left = n;
    log += "|" + std::to_string(n) + ":";
    return stop_at != "body_length";
  }
  bool body(std::span<const std::uint8_t> piece, std::uint64_t left) {
    EXPECT_FALSE(piece.empty());
    EXPECT_EQ(left, body_left - piece.size());
    body_left = left;
    log.append(piece.begin(), piece.end());
    return stop_at != "body";
  }
  bool body_end() {
    log += "]";
    return stop_at != "body_end";
  }
};

// However the bytes are cut, even within a length field, the reader says the
// same; it holds a record begun only while it is; and a visitor that says stop
// hears nothing more, not even of bytes fed later.
TEST(RecordReader, SaysTheSameHoweverTheBytesAreCut) {
  Bytes stream = pack_files(std::vector<NamedFile>{{"ab", bytes_of("xyz")}, {"", {}}, {"name", bytes_of("body")}});
  const std::size_t whole = stream.size();
  const Bytes cut_short = pack_files(std::vector<NamedFile>{{"c", bytes_of("never complete")}});
  stream.insert(stream.end(), cut_short.begin(), cut_short.begin() + 6);

  // Stopped within a body, the reader has said as much of it as the piece held.
  const struct {
    std::string stop_at;
    std::string said_at_least, said;
  } cases[] = {
      {"", "[2:ab|3:xyz][0:|0:][4:name|4:body][1:c", "[2:ab|3:xyz][0:|0:][4:name|4:body][1:c"},
      {"name_length", "[2:", "[2:"},
      {"body_length", "[2:ab|3:", "[2:ab|3:"},
      {"body", "[2:ab|3:x", "[2:ab|3:xyz"},
      {"body_end", "[2:ab|3:xyz]", "[2:ab|3:xyz]"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{5}, stream.size()}) {
      SCOPED_TRACE("stop at " + c.stop_at + ", pieces of " + std::to_string(piece));
      RecordReader reader;
      RecordLog visitor;
      visitor.stop_at = c.stop_at;
      for (std::size_t at = 0; at < stream.size(); at += piece) {
        const std::size_t take = std::min(piece, stream.size() - at);
        const bool stopped_before = reader.stopped();
        const std::string said_before = visitor.log;
        reader.read(std::span<const std::uint8_t>(stream).subspan(at, take), visitor);
        if (stopped_before) {
          EXPECT_EQ(visitor.log, said_before);
        }
        if (c.stop_at.empty() && at + take >= whole) {
          EXPECT_EQ(reader.between_records(), at + take == whole);
        }
      }
      EXPECT_TRUE(visitor.log.size() >= c.said_at_least.size() && c.said.starts_with(visitor.log)) << visitor.log;
      EXPECT_EQ(reader.stopped(), !c.stop_at.empty());
    }
  }
}

}  // namespace
}  // namespace kio::install
