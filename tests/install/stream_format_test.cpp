#include "install/stream_format.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kio::install
