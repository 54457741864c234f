// Landing a received stream in a real store: nothing is recorded before the
// stream's files are unpacked and checked, and a refused landing leaves what was
// landed before as it was.
#include "connector/landing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "install/geonames.h"
#include "peer/stream_plan.h"
#include "tests/support/connector_process.h"
#include "tests/support/stream_files.h"

namespace fs = std::filesystem;

namespace kio::connector {
namespace {

using Bytes = std::vector<std::uint8_t>;
using install::NamedFile;

Bytes text(const std::string& s) { return {s.begin(), s.end()}; }

class Landing : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = install::Persist::open(install_.root / "persist", install_.wrap_key);
    ASSERT_TRUE(opened) << opened.error();
    store_.emplace(std::move(*opened));
  }

  // The stream that packs `files`, announced with `listed` (default: their own
  // entries), as the receiver hands it over: spooled in the blobs root.
  install::CompletedStream received(const std::vector<NamedFile>& files,
                                    std::optional<std::vector<install::FileStreamEntry>> listed = std::nullopt,
                                    const std::string& feature_id = install::GEONAMES_FEATURE_ID) {
    const Bytes stream = install::pack_files(files);
    const auto messages = peer::plan_stream({feature_id, install::GEONAMES_INDEX_BLOB_ID, "bytes",
                                             listed ? *listed : test::file_entries(files)},
                                            stream, 1000)
                              .value();
    install::FileStreamReceiver receiver({blobs(), p2p::MAX_PARTIAL_BYTES, as_received_, background_});
    for (const auto& m : messages) {
      auto got = receiver.push(m.channel, m.bytes);
      EXPECT_TRUE(got);
      if (got && *got) return std::move(**got);
    }
    throw std::runtime_error("the stream did not complete");
  }

  fs::path blobs() const { return store_->blobs_root(); }
  fs::path index() const { return blobs() / (std::string(install::GEONAMES_INDEX_BLOB_ID) + ".lmdb"); }
  std::vector<std::string> recorded_digests() {
    std::vector<std::string> digests;
    const auto records = store_->blob_records().value();
    for (const auto& record : records) digests.push_back(record.sha256);
    return digests;
  }
  // Nothing but the blob, the index directory and the pack may lie in the blobs root.
  std::vector<std::string> blobs_entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(blobs())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  Result<void> land(install::CompletedStream stream) { return land_feature_index(manifest_, *store_, stream); }

  test::TestInstall install_;
  ManifestWriter manifest_{install_.root};
  bool as_received_ = false;  // the receiver writes the files as the stream arrives
  bool background_ = false;   // ...on a writer thread of the stream's own
  std::optional<install::Persist> store_;
};

const std::vector<NamedFile> kGood = {{"data.mdb", text(std::string(5000, 'd'))}, {"lock.mdb", text("L")}};

TEST_F(Landing, ARefusedStreamRecordsNothingAndTheCorrectOneLandsAfterIt) {
  auto unsafe = kGood;
  unsafe.push_back({"../escape", text("x")});
  auto refused = land(received(unsafe, test::file_entries(kGood)));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "Wire format error: unsafe file stream name");
  EXPECT_TRUE(recorded_digests().empty());
  EXPECT_TRUE(blobs_entries().empty());  // no blob, no index, no staging, no spool

  auto stream = received(kGood);
  const std::string digest = stream.announce.sha256;
  ASSERT_TRUE(land(std::move(stream)));
  EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
  EXPECT_EQ(test::read_file(index() / "data.mdb"), std::string(5000, 'd'));
  EXPECT_EQ(blobs_entries(), (std::vector<std::string>{std::string(install::GEONAMES_INDEX_BLOB_ID),
                                                       std::string(install::GEONAMES_INDEX_BLOB_ID) + ".lmdb"}));
}

TEST_F(Landing, AFailedLandingKeepsWhatWasLandedBefore) {
  auto first = received(kGood);
  const std::string digest = first.announce.sha256;
  ASSERT_TRUE(land(std::move(first)));
  const std::string blob = test::read_file(blobs() / install::GEONAMES_INDEX_BLOB_ID);

  const std::vector<NamedFile> other = {{"data.mdb", text("other")}};
  auto wrong_digest = test::file_entries(other);
  wrong_digest[0].sha256 = install::sha256_hex(std::string_view("something else"));
  auto unsafe_too = other;
  unsafe_too.push_back({"a/b", text("x")});
  struct Case {
    std::string name;
    std::function<install::CompletedStream()> stream;
    std::string error;
  };
  const Case cases[] = {
      {"wrong feature", [&] { return received(kGood, std::nullopt, "01939a3c-0000-7000-8000-00000000000a"); },
       "unexpected feature_id for index stream: 01939a3c-0000-7000-8000-00000000000a"},
      // The same id with other bytes: the store refuses before any file is looked at.
      {"other bytes", [&] { return received(other); }, "blob bytes do not match LTR identity"},
      {"other bytes and an unsafe name", [&] { return received(unsafe_too, test::file_entries(other)); },
       "blob bytes do not match LTR identity"},
      {"other bytes and a wrong file digest", [&] { return received(other, wrong_digest); },
       "blob bytes do not match LTR identity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto refused = land(c.stream());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), c.error);
    EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
    EXPECT_EQ(test::read_file(blobs() / install::GEONAMES_INDEX_BLOB_ID), blob);
    EXPECT_EQ(test::read_file(index() / "data.mdb"), std::string(5000, 'd'));
    EXPECT_EQ(test::read_file(index() / "lock.mdb"), "L");
    EXPECT_EQ(blobs_entries().size(), 2u);  // no staging directory or spool left
  }

  // The same bytes again, but a listed file that no record carries: refused
  // after unpacking, and the landed index stays.
  auto listed = test::file_entries(kGood);
  listed.push_back({"missing.mdb", 0, install::sha256_hex(std::string_view(""))});
  auto missing = land(received(kGood, listed));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "IO error: No such file or directory (os error 2)");
  EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
  EXPECT_EQ(test::read_file(index() / "data.mdb"), std::string(5000, 'd'));

  // And the same stream lands again: the index is swapped whole for a new one.
  test::write_file(index() / "stale", "from before");
  ASSERT_TRUE(land(received(kGood)));
  EXPECT_FALSE(fs::exists(index() / "stale"));
  EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
  EXPECT_EQ(blobs_entries().size(), 2u);
}

// A manifest that refuses every entry refuses the landing before the blob is
// recorded. Once the blob is recorded, a manifest write that still fails leaves
// it recorded; either way the same stream sent again lands, on one record.
TEST_F(Landing, AManifestThatRefusesEntriesRecordsNothingAndTheStreamLandsWhenSentAgain) {
  const fs::path manifest = install_.root / "features-manifest.json";
  struct Case {
    std::string name;
    std::function<void()> spoil, mend;
    std::string error;
    bool recorded;  // the blob is recorded by the failed landing
  };
  const Case cases[] = {
      {"corrupt", [&] { test::write_file(manifest, "{not json"); }, [&] { fs::remove(manifest); },
       "features-manifest is corrupt", false},
      {"another installer's",
       [&] { test::write_file(manifest, R"({"schema":"kio.install.features-manifest.v2","features":[]})"); },
       [&] { fs::remove(manifest); }, "features-manifest schema is not this installer", false},
      // Nothing to refuse until it is written: the write fails after the blob is recorded.
      {"a directory in its place", [&] { fs::remove(manifest); fs::create_directory(manifest); }, [&] { fs::remove(manifest); },
       "Is a directory (os error 21)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = recorded_digests();
    c.spoil();
    auto stream = received(kGood);
    const std::string digest = stream.announce.sha256;
    auto refused = land(std::move(stream));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), c.error);
    if (c.recorded) {
      EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
    } else {
      EXPECT_EQ(recorded_digests(), before);
      if (before.empty()) {
        EXPECT_FALSE(fs::exists(index()));
      }
    }
    c.mend();
    ASSERT_TRUE(land(received(kGood)));
    EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
    EXPECT_EQ(test::read_file(index() / "data.mdb"), std::string(5000, 'd'));
  }
}

// Files written as the stream arrived land as unpacked ones do: the same
// refusals in the same words, nothing left of a refused stream, and a later
// record of a name replacing an earlier one's file.
TEST_F(Landing, FilesWrittenAsTheStreamArrivedLandAsUnpackedOnesDo) {
  const std::vector<NamedFile> repeated = {
      {"data.mdb", text("early")}, {"lock.mdb", text("L")}, {"data.mdb", text(std::string(5000, 'd'))}};
  auto unsafe_mid = kGood;
  unsafe_mid.insert(unsafe_mid.begin() + 1, {"a/b", text("x")});
  auto dot = kGood;
  dot.push_back({".", text("x")});
  auto wrong_digest = test::file_entries(kGood);
  wrong_digest[1].sha256 = install::sha256_hex(std::string_view("M"));
  auto missing = test::file_entries(kGood);
  missing.push_back({"missing.mdb", 0, install::sha256_hex(std::string_view(""))});
  struct Case {
    std::string name;
    std::vector<NamedFile> files;
    std::optional<std::vector<install::FileStreamEntry>> listed;
    std::string error;
  };
  const Case cases[] = {
      {"an unsafe name mid-stream", unsafe_mid, test::file_entries(kGood),
       "Wire format error: unsafe file stream name"},
      {"a name that is not utf-8", {{"a\xff", text("x")}}, std::vector<install::FileStreamEntry>{},
       "Wire format error: file stream name is not utf8"},
      {"a name the system refuses", dot, test::file_entries(kGood), "IO error: Is a directory (os error 21)"},
      {"a wrong file digest", kGood, wrong_digest, "Wire format error: file stream entry sha256 mismatch"},
      {"a listed file no record carries", kGood, missing, "IO error: No such file or directory (os error 2)"},
      {"an early record of a listed name with its digest", repeated,
       std::vector<install::FileStreamEntry>{{"data.mdb", 5, install::sha256_hex(std::string_view("early"))}},
       "Wire format error: file stream entry sha256 mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const int mode : {0, 1, 2}) {
      as_received_ = mode != 0;
      background_ = mode == 2;
      auto refused = land(received(c.files, c.listed));
      ASSERT_FALSE(refused) << mode;
      EXPECT_EQ(refused.error(), c.error) << mode;
      EXPECT_TRUE(recorded_digests().empty());
      EXPECT_TRUE(blobs_entries().empty()) << "no blob, no index, no staging, no spool";
    }
  }

  as_received_ = true;
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "written on a thread of their own" : "written by push");
    background_ = background;
    auto stream = received(repeated, test::file_entries({repeated[1], repeated[2]}));
    ASSERT_TRUE(stream.unpacked);
    EXPECT_EQ(stream.unpacked->in_background(), background);
    const std::string digest = stream.announce.sha256;
    const auto landed = land(std::move(stream));
    ASSERT_TRUE(landed) << landed.error();
    EXPECT_EQ(recorded_digests(), std::vector<std::string>{digest});
    EXPECT_EQ(test::read_file(index() / "data.mdb"), std::string(5000, 'd'));
    EXPECT_EQ(test::read_file(index() / "lock.mdb"), "L");
    EXPECT_EQ(blobs_entries(), (std::vector<std::string>{std::string(install::GEONAMES_INDEX_BLOB_ID),
                                                         std::string(install::GEONAMES_INDEX_BLOB_ID) + ".lmdb"}));
  }
}

}  // namespace
}  // namespace kio::connector
