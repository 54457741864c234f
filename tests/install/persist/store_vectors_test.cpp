// An install written by an independent writer must read exactly, and the store
// must continue its chain.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "install/crypto.h"
#include "install/persist/blobs.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

class StoreVectors : public ::testing::Test {
 protected:
  void SetUp() override {
    expected = nlohmann::json::parse(test::read_file(test::data_path("store-vectors/expected.json")));
    fs::copy(test::data_path("store-vectors/install"), install, fs::copy_options::recursive);
    // The copies are read-only like their originals; give them the modes an install has.
    for (const auto& entry : fs::recursive_directory_iterator(install)) {
      fs::permissions(entry.path(), entry.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    }
    const auto key_bytes = test::from_hex(expected["wrap_key_hex"].get<std::string>());
    key = SecretKey(std::span<const std::uint8_t, 32>(key_bytes.data(), 32));
  }

  Persist open() {
    auto opened = Persist::open(install / "persist", key);
    EXPECT_TRUE(opened) << opened.error();
    opened->set_local_date_source([] { return CalendarDate{2026, 1, 6}; });
    return std::move(*opened);
  }

  test::TempDir dir;
  fs::path install = dir.path() / "install";
  nlohmann::json expected;
  SecretKey key;
};

TEST_F(StoreVectors, ReadsAndVerifiesTheChain) {
  EXPECT_EQ(read_identity(install / "persist", key)->username, expected["username"]);
  Persist store = open();
  EXPECT_EQ(store.founder_id(), expected["founder_id"]);

  const auto frames = store.read_frames();
  ASSERT_TRUE(frames) << frames.error();
  ASSERT_EQ(frames->size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto& want = expected["frames"][i];
    const LtrFrame& frame = (*frames)[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(frame.sequence, want["sequence"].get<std::uint64_t>());
    EXPECT_EQ(frame.previous_digest, want["previous_digest"]);
    EXPECT_EQ(serialize_ltr_frame(frame).value(), want["frame_line"]);
    EXPECT_EQ(frame_digest(frame).value(), want["frame_digest"]);
    const auto aad = ltr_aad(store.founder_id(), LTR_STREAM_LABEL, frame.sequence, frame.previous_digest);
    EXPECT_EQ(test::hex_of(aad), want["aad_hex"]);
    const auto plain = decrypt(key, aad, frame.nonce_b64, frame.ciphertext_b64);
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ(std::string(plain->begin(), plain->end()), want["payload"]);
    // Writing the decoded event again gives the same bytes: same member order and escaping.
    const auto event = decode_ltr_payload(*plain);
    ASSERT_TRUE(event) << event.error();
    const auto rewritten = serialize_ltr_payload(*event).value();
    EXPECT_EQ(std::string(rewritten.begin(), rewritten.end()), want["payload"]);
  }
}

TEST_F(StoreVectors, DecodesEventsAndListsBlobs) {
  Persist store = open();
  const auto events = store.read_payloads();
  ASSERT_TRUE(events) << events.error();
  ASSERT_EQ(events->size(), 3u);
  const auto* secret = std::get_if<SecretEvent>(&(*events)[1]);
  ASSERT_NE(secret, nullptr);
  EXPECT_EQ(secret->kind, "third-party-secret");
  EXPECT_EQ(secret->label, "api-token");
  EXPECT_EQ(secret->value.view(), "s3cr\xc3\xa9t \"quoted\"\n");

  const auto blobs = store.blob_records();
  ASSERT_TRUE(blobs) << blobs.error();
  ASSERT_EQ(blobs->size(), 2u);
  EXPECT_EQ((*blobs)[0], (BlobRecord{"persist-blob", "01939a3c-6000-7000-8000-000000000001", "feature",
                                     "file:///home/ada/install/blobs/01939a3c-6000-7000-8000-000000000001", false,
                                     "4862f447f2c7f272fa2f4aaf89dadb3b1ac09105bd5864f8d1a0c9452bb0a226"}));
  EXPECT_EQ((*blobs)[1].blob_id, "01939a3c-6000-7000-8000-000000000002");
  EXPECT_TRUE((*blobs)[1].encrypted);
  EXPECT_EQ((*blobs)[1].class_name, "bytes");
}

TEST_F(StoreVectors, OpensTheSealedBlob) {
  const auto& sealed = expected["sealed_blob"];
  const std::string id = sealed["blob_id"];
  EXPECT_EQ(test::hex_of(blob_file_aad(id)), sealed["aad_hex"]);
  const auto envelope = nlohmann::json::parse(test::read_file(install / "blobs" / id));
  const auto plain = decrypt(key, blob_file_aad(id), envelope["nonce_b64"].get<std::string>(),
                             envelope["ciphertext_b64"].get<std::string>());
  ASSERT_TRUE(plain) << plain.error();
  EXPECT_EQ(std::string(plain->begin(), plain->end()), sealed["plaintext"]);
}

TEST_F(StoreVectors, AppendContinuesTheChain) {
  Persist store = open();
  const auto sequence = store.append_ltr_payload(sample_record(9));
  ASSERT_TRUE(sequence) << sequence.error();
  EXPECT_EQ(*sequence, 4u);
  const auto frames = store.read_frames();
  ASSERT_TRUE(frames) << frames.error();
  ASSERT_EQ(frames->size(), 4u);
  EXPECT_EQ((*frames)[3].previous_digest, expected["frames"][2]["frame_digest"]);
  // The independent writer's segment is left as it was; the new day has its own.
  EXPECT_EQ(lines_of(install / "persist/ltr/current/2026-01-05-00001.jsonl").size(), 3u);
  EXPECT_EQ(lines_of(install / "persist/ltr/current/2026-01-06-00001.jsonl").size(), 1u);
  EXPECT_EQ(store.blob_records()->size(), 3u);
}

}  // namespace
}  // namespace kio::install
