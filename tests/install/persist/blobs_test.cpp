// The blob store: ids, paths, plain and sealed blobs, taking over files, and
// the list of blobs the LTR knows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "install/crypto.h"
#include "install/persist/blobs.h"
#include "tests/install/persist/fixture.h"
#include "tests/support/fault_file_system.h"

namespace kio::install {
namespace {

using namespace testing;

const std::string ID = "01939a3c-6000-7000-8000-00000000000a";

struct stat stat_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st;
}

std::size_t frame_count(Persist& store) { return store.read_frames().value().size(); }

TEST(BlobIds, FourTextFormsOfVersion7) {
  const std::pair<const char*, bool> cases[] = {
      {"01939a3c-6000-7000-8000-00000000000a", true},
      {"01939A3C-6000-7000-8000-00000000000A", true},
      {"01939a3c600070008000000000000000", true},
      {"{01939a3c-6000-7000-8000-00000000000a}", true},
      {"urn:uuid:01939a3c-6000-7000-8000-00000000000a", true},
      {"01939a3c-6000-7000-c000-00000000000a", true},   // the variant is not examined
      {"01939a3c-6000-4000-8000-00000000000a", false},  // version 4
      {"01939a3c-6000-f000-8000-00000000000a", false},
      {"URN:UUID:01939a3c-6000-7000-8000-00000000000a", false},
      {"{01939a3c-6000-7000-8000-00000000000a", false},
      {"(01939a3c-6000-7000-8000-00000000000a)", false},
      {"01939a3c6-000-7000-8000-00000000000a", false},
      {"01939a3c-6000-7000-8000-00000000000g", false},
      {"01939a3c-6000-7000-8000-00000000000", false},
      {"01939a3c60007000800000000000000", false},
      {"01939a3c-6000-7000-8000+00000000000a", false},
      {"../../../../../../../../../etc/passwd", false},
      {"", false},
  };
  for (const auto& [text, ok] : cases) {
    const auto id = parse_blob_id(text);
    EXPECT_EQ(id.has_value(), ok) << text;
    if (!id) {
      EXPECT_EQ(id.error(), "blob id must be a UUIDv7");
    }
  }
  const BlobUuid want{0x01, 0x93, 0x9a, 0x3c, 0x60, 0x00, 0x70, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 0x0a};
  for (const char* form : {"01939a3c-6000-7000-8000-00000000000a", "01939A3C60007000800000000000000A",
                           "{01939a3c-6000-7000-8000-00000000000A}", "urn:uuid:01939a3c-6000-7000-8000-00000000000a"}) {
    EXPECT_EQ(parse_blob_id(form).value(), want) << form;
  }
}

TEST(BlobIds, PathsAadAndUrls) {
  EXPECT_EQ(blob_path("/i/persist", ID).value(), fs::path("/i/blobs") / ID);
  EXPECT_EQ(blob_path("/i/persist", "a/b").value(), fs::path("/i/blobs/a/b"));
  for (const char* bad : {"/etc/passwd", "a/../../b", ".."}) {
    EXPECT_EQ(blob_path("/i/persist", bad).error(), "blob path must be relative") << bad;
  }
  EXPECT_EQ(blob_file_aad("ab"), bytes_of(std::string("persist-blob\0ab", 15)));

  EXPECT_EQ(local_file_url("/a/./b/../c d").value(), "file:///a/./b/../c d");
  EXPECT_EQ(local_file_url("/a/\xff").value(), "file:///a/\xef\xbf\xbd");
  EXPECT_EQ(local_file_url("x/y").value(), "file://" + fs::current_path().string() + "/x/y");
}

TEST(PutBlobWithId, StoresPlainBlobsAndRecordsEachPut) {
  Store s;
  Persist store = s.open();
  const auto first = store.put_blob_with_id(ID, bytes_of("first"), true, false);
  ASSERT_TRUE(first) << first.error();
  const fs::path file = s.install / "blobs" / ID;
  EXPECT_EQ(*first, (BlobRecord{"persist-blob", ID, "feature", "file://" + file.string(), false,
                                sha256_hex(std::string_view("first"))}));
  EXPECT_EQ(test::read_file(file), "first");
  EXPECT_EQ(test::file_mode(file), 0600u);
  EXPECT_EQ(test::file_mode(s.install / "blobs"), 0700u);

  const auto second = store.put_blob_with_id(ID, bytes_of("second"), false, false);
  ASSERT_TRUE(second);
  EXPECT_EQ(test::read_file(file), "second");
  EXPECT_EQ(frame_count(store), 2u);
  EXPECT_EQ(store.blob_records().value(), std::vector<BlobRecord>{*second});
  EXPECT_EQ(second->class_name, "bytes");

  // Other spellings of an id are other blobs, named exactly as written.
  const std::string upper = "{01939A3C-6000-7000-8000-00000000000A}";
  ASSERT_TRUE(store.put_blob_with_id(upper, bytes_of("x"), true, false));
  EXPECT_TRUE(fs::exists(s.install / "blobs" / upper));
  EXPECT_EQ(store.blob_records().value().size(), 2u);
}

TEST(PutBlobWithId, RelativeRootGivesAbsoluteUrls) {
  Store s;
  struct RestoreCwd {
    fs::path path = fs::current_path();
    ~RestoreCwd() { fs::current_path(path); }
  } restore;
  fs::current_path(s.dir.path());
  auto store = Persist::open("install/persist", s.key);
  ASSERT_TRUE(store) << store.error();
  EXPECT_EQ(store->blobs_root(), fs::path("install/blobs"));
  const auto record = store->put_blob_with_id(ID, bytes_of("x"), true, false);
  ASSERT_TRUE(record) << record.error();
  EXPECT_EQ(record->url, "file://" + s.dir.path().string() + "/install/blobs/" + ID);
}

TEST(PutBlobWithId, RefusesBadInputBeforeWriting) {
  Store s;
  Persist store = s.open();
  // Empty bytes are refused before the id is looked at.
  EXPECT_EQ(store.put_blob_with_id("not-an-id", {}, true, false).error(), "blob bytes are required");
  EXPECT_EQ(store.put_blob_with_id("01939a3c-6000-4000-8000-00000000000a", bytes_of("x"), true, false).error(),
            "blob id must be a UUIDv7");
  EXPECT_TRUE(fs::is_empty(s.install / "blobs"));
  EXPECT_EQ(frame_count(store), 0u);
}

TEST(PutBlobWithId, SealedBlobsOpenUnderTheirIdOnly) {
  Store s;
  Persist store = s.open();
  const auto record = store.put_blob_with_id(ID, bytes_of("secret bytes"), false, true);
  ASSERT_TRUE(record) << record.error();
  EXPECT_TRUE(record->encrypted);
  EXPECT_EQ(record->sha256, sha256_hex(std::string_view("secret bytes")));

  const std::string text = test::read_file(s.install / "blobs" / ID);
  const auto envelope = nlohmann::json::parse(text);
  EXPECT_EQ(text, "{\"version\":1,\"nonce_b64\":\"" + envelope["nonce_b64"].get<std::string>() +
                      "\",\"ciphertext_b64\":\"" + envelope["ciphertext_b64"].get<std::string>() + "\"}");
  const std::string aad = std::string("persist-blob") + '\0' + ID;
  EXPECT_EQ(sodium_open(s.key, bytes_of(aad), envelope["nonce_b64"], envelope["ciphertext_b64"]), "secret bytes");
  EXPECT_FALSE(sodium_open(s.key, bytes_of(aad + "b"), envelope["nonce_b64"], envelope["ciphertext_b64"]));
  EXPECT_EQ(decrypt(s.key, blob_file_aad("01939a3c-6000-7000-8000-00000000000b"), envelope["nonce_b64"].get<std::string>(),
                    envelope["ciphertext_b64"].get<std::string>())
                .error(),
            "decryption failed");
}

class PutBlobFromPath : public ::testing::Test {
 protected:
  Store s;
  Persist store = s.open();
  fs::path staging = s.install / "staging" / "packed.bin";
  fs::path blob = s.install / "blobs" / ID;
};

TEST_F(PutBlobFromPath, LinksOnceAndRecordsOnce) {
  test::write_file(staging, "index bytes");
  const auto first = store.put_blob_from_path(ID, staging, false);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(*first, (BlobRecord{"persist-blob", ID, "bytes", "file://" + blob.string(), false,
                                sha256_hex(std::string_view("index bytes"))}));
  EXPECT_EQ(stat_of(blob).st_ino, stat_of(staging).st_ino);
  EXPECT_EQ(test::file_mode(staging), 0600u);  // the same file as the blob
  EXPECT_EQ(test::file_mode(s.install / "blobs"), 0700u);

  // Again with the same content: the first record, no new event.
  const auto again = store.put_blob_from_path(ID, staging, true);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);
  EXPECT_EQ(frame_count(store), 1u);

  // The blob file went missing: it is linked again, still without an event.
  fs::remove(blob);
  ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
  EXPECT_EQ(test::read_file(blob), "index bytes");
  EXPECT_EQ(frame_count(store), 1u);
}

// A blob file damaged or replaced behind the store's back is linked again
// when the same bytes land again; the record stands and no event is added.
TEST_F(PutBlobFromPath, ADamagedBlobFileIsLinkedAgain) {
  test::write_file(staging, "index bytes");
  ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
  for (const std::string damage : {"index bytez", "index"}) {
    fs::remove(blob);
    test::write_file(blob, damage);
    fs::remove(staging);
    test::write_file(staging, "index bytes");
    ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
    EXPECT_EQ(test::read_file(blob), "index bytes") << damage;
    EXPECT_EQ(frame_count(store), 1u);
  }
}

TEST_F(PutBlobFromPath, RefusesOtherContentForAKnownId) {
  test::write_file(staging, "index bytes");
  ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
  fs::remove(staging);
  test::write_file(staging, "other bytes");
  const auto refused = store.put_blob_from_path(ID, staging, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "blob bytes do not match LTR identity");
  EXPECT_EQ(test::read_file(blob), "index bytes");
  EXPECT_EQ(frame_count(store), 1u);

  EXPECT_EQ(store.put_blob_from_path(ID, s.install / "missing", false).error(), "blob file is missing");
  EXPECT_EQ(store.put_blob_from_path(ID, s.install, false).error(), "blob file is missing");
  EXPECT_EQ(store.put_blob_from_path("x", staging, false).error(), "blob id must be a UUIDv7");
}

TEST_F(PutBlobFromPath, UnrecordedFileAtTheDestination) {
  test::write_file(staging, "index bytes");
  test::write_file(blob, "stale");  // left by an append that failed
  ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
  EXPECT_EQ(stat_of(blob).st_ino, stat_of(staging).st_ino);

  // Same content already in place without a record: kept as it is.
  const std::string id2 = "01939a3c-6000-7000-8000-00000000000b";
  test::write_file(s.install / "blobs" / id2, "index bytes");
  const auto kept_inode = stat_of(s.install / "blobs" / id2).st_ino;
  ASSERT_TRUE(store.put_blob_from_path(id2, staging, false));
  EXPECT_EQ(stat_of(s.install / "blobs" / id2).st_ino, kept_inode);
  EXPECT_EQ(frame_count(store), 2u);
}

TEST_F(PutBlobFromPath, SourceBehindALink) {
  test::write_file(s.install / "real.bin", "linked bytes");
  fs::create_directories(staging.parent_path());
  fs::create_symlink("../real.bin", staging);  // relative: would not resolve from the blobs root
  ASSERT_TRUE(store.put_blob_from_path(ID, staging, false));
  EXPECT_FALSE(fs::is_symlink(blob));
  EXPECT_EQ(test::read_file(blob), "linked bytes");
  EXPECT_EQ(stat_of(blob).st_ino, stat_of(s.install / "real.bin").st_ino);
}

TEST(LinkOrCopy, AcrossFileSystemsCopies) {
  test::TempDir here;
  const fs::path other_fs = "/dev/shm";
  struct stat a {}, b {};
  if (::stat(other_fs.c_str(), &a) != 0 || ::stat(here.path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
    GTEST_SKIP() << "no second file system (/dev/shm) beside " << here.path();
  }
  const fs::path source = other_fs / ("kio-link-test-" + std::to_string(::getpid()));
  struct Remove {
    fs::path p;
    ~Remove() { std::error_code ec; fs::remove(p, ec); }
  } remove_source{source};
  test::write_file(source, "bytes from elsewhere");
  fs::permissions(source, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::path destination = here / "blobs" / "copy";
  const auto linked = link_or_copy_file(source, destination);
  EXPECT_TRUE(linked) << linked.error();
  EXPECT_EQ(test::read_file(destination), "bytes from elsewhere");
  EXPECT_EQ(test::file_mode(destination), 0600u);
  EXPECT_EQ(test::file_mode(source), 0640u);  // only a link changes the source
  EXPECT_NE(stat_of(destination).st_dev, stat_of(source).st_dev);
}

TEST(LinkOrCopy, SameFileIsLeftAloneOtherFileReplaced) {
  test::TempDir dir;
  test::write_file(dir / "src", "a");
  ASSERT_TRUE(link_or_copy_file(dir / "src", dir / "dst"));
  fs::permissions(dir / "dst", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_TRUE(link_or_copy_file(dir / "src", dir / "dst"));
  EXPECT_EQ(test::file_mode(dir / "dst"), 0604u);  // already the same file: nothing changed

  test::write_file(dir / "other", "b");
  ASSERT_TRUE(link_or_copy_file(dir / "other", dir / "dst"));
  EXPECT_EQ(test::read_file(dir / "dst"), "b");
  EXPECT_EQ(test::read_file(dir / "src"), "a");
  EXPECT_EQ(link_or_copy_file(dir / "missing", dir / "new").error(), "No such file or directory (os error 2)");
}

TEST(BlobRecords, KnownBlobsOnlyLatestFirstByIdText) {
  Store s;
  Persist store = s.open();
  auto record = [](std::string id, std::string cls) {
    return BlobRecord{"persist-blob", id, cls, "file:///x", false, "d-" + id + "-" + cls};
  };
  const std::string b = "01939a3c-6000-7000-8000-00000000000b", c = "01939a3c-6000-7000-8000-00000000000c";
  const std::string upper_a = "01939A3C-6000-7000-8000-00000000000A";
  for (const LtrPayload& event : std::vector<LtrPayload>{
           record(c, "bytes"), record(b, "feature"), record(b, "Feature"),
           record("01939a3c-6000-4000-8000-000000000001", "bytes"), SecretEvent{"connector-noise", "k", SecretText("v")},
           record(c, "feature"), record(upper_a, "bytes")}) {
    ASSERT_TRUE(store.append_ltr_payload(event));
  }
  EXPECT_EQ(store.blob_records().value(),
            (std::vector<BlobRecord>{record(upper_a, "bytes"), record(b, "feature"), record(c, "feature")}));
}

TEST(BlobRecords, KeptCurrentWithWhatOthersAppend) {
  Store s;
  Persist mine = s.open();
  Persist other = s.open();
  const std::string b = "01939a3c-6000-7000-8000-00000000000b";
  const auto a1 = mine.put_blob_with_id(ID, bytes_of("a1"), true, false).value();
  EXPECT_EQ(mine.blob_records().value(), std::vector<BlobRecord>{a1});

  const auto b1 = other.put_blob_with_id(b, bytes_of("b1"), false, false).value();
  EXPECT_EQ(mine.blob_records().value(), (std::vector<BlobRecord>{a1, b1}));
  const auto a2 = other.put_blob_with_id(ID, bytes_of("a2"), true, false).value();
  EXPECT_EQ(mine.blob_records().value(), (std::vector<BlobRecord>{a2, b1}));

  // A landing through this handle compares with the record the other wrote.
  test::write_file(s.install / "staging", "a1");
  EXPECT_EQ(mine.put_blob_from_path(ID, s.install / "staging", true).error(), "blob bytes do not match LTR identity");
  test::write_file(s.install / "staging", "a2");
  EXPECT_EQ(mine.put_blob_from_path(ID, s.install / "staging", true).value(), a2);
  EXPECT_EQ(frame_count(mine), 3u);
}

TEST(BlobRecords, AnEventThatDoesNotOpenFailsTheListNotTheAppends) {
  Store s;
  Persist store = s.open();
  ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("x"), true, false));
  ASSERT_EQ(store.blob_records().value().size(), 1u);

  // Another writer with another wrap key seals frame 2 at the right place.
  Store twin;
  twin.key = key_from(99);
  Store::init(twin.persist, twin.key, FOUNDER);
  Persist other = twin.open();
  fs::copy_file(s.segment("2026-01-05-00001.jsonl"), twin.segment("2026-01-05-00001.jsonl"));
  ASSERT_EQ(other.append_ltr_payload(sample_record(2)).value(), 2u);
  rewrite_in_place(s.segment("2026-01-05-00001.jsonl"), test::read_file(twin.segment("2026-01-05-00001.jsonl")));

  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(store.blob_records().error(), "decryption failed");
    EXPECT_EQ(store.put_blob_from_path(ID, s.install / "blobs" / ID, true).error(), "decryption failed");
    // The chain verifies, so the log still takes events.
    EXPECT_EQ(store.append_ltr_payload(sample_record(3 + attempt)).value(), 3u + attempt);
  }
}

TEST(BlobFiles, CheckedAgainstTheirLatestRecord) {
  const std::string sealed_id = "01939a3c-6000-7000-8000-00000000000b";
  struct Case {
    const char* what;
    std::function<void(const fs::path& plain, const fs::path& sealed)> change;
    std::string first_says, sealed_says;  // what the check says of each file; "" when it holds
    bool first_sealed = false;            // the first blob is stored sealed as well
  };
  const Case cases[] = {
      {"as stored", [](auto&, auto&) {}, "", ""},
      {"as stored, both sealed", [](auto&, auto&) {}, "", "", true},
      {"content changed", [](const fs::path& p, const fs::path&) { test::write_file(p, "other bytes"); }, "content", ""},
      {"removed", [](const fs::path& p, const fs::path& q) { fs::remove(p); fs::remove(q); }, " is missing",
       " is missing"},
      {"a directory in its place", [](const fs::path& p, const fs::path&) { fs::remove(p); fs::create_directory(p); },
       " is not a regular file", ""},
      {"the sealed file holding plain bytes", [](const fs::path&, const fs::path& q) { test::write_file(q, "sealed"); },
       "", " is not a sealed blob"},
      {"a sealed file sealed for the other id", [](const fs::path& p, const fs::path& q) {
         fs::copy_file(q, p, fs::copy_options::overwrite_existing);
       }, " does not open: decryption failed", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist store = s.open();
    const auto first = store.put_blob_with_id(ID, bytes_of("first bytes"), true, c.first_sealed).value();
    const auto sealed = store.put_blob_with_id(sealed_id, bytes_of("sealed bytes"), false, true).value();
    const fs::path p = s.install / "blobs" / ID, q = s.install / "blobs" / sealed_id;
    c.change(p, q);
    const auto expected = [](const std::string& says, const fs::path& path, const BlobRecord& record) -> std::string {
      if (says.empty()) return "";
      if (says != "content") return "blob file " + path.string() + says;
      return "blob file " + path.string() + " holds content of sha256 " + sha256_file(path).value() + ", recorded " +
             record.sha256;
    };
    const auto said = [](const Result<void>& r) { return r ? std::string() : r.error().message(); };
    EXPECT_EQ(said(store.check_blob_file(first)), expected(c.first_says, p, first));
    EXPECT_EQ(said(store.check_blob_file(sealed)), expected(c.sealed_says, q, sealed));
  }
}

}  // namespace
}  // namespace kio::install

namespace kio::install {
namespace {

using namespace testing;

// The segment the store writes on its fixed day.
fs::path day_segment(const Store& s) { return s.segment("2026-01-05-00001.jsonl"); }

// A new pack replaces the blob file only once the log records it.
TEST(PutBlobWithId, AFailedAppendLeavesTheOldFile) {
  Store s;
  Persist store = s.open();
  ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("first"), true, false));
  // Damage the chain so that the next append is refused.
  const std::string log = test::read_file(day_segment(s));
  rewrite_in_place(day_segment(s), log.substr(0, 40) + "X" + log.substr(41));
  const auto refused = store.put_blob_with_id(ID, bytes_of("second"), true, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(test::read_file(s.install / "blobs" / ID), "first");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(s.install / "blobs")) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{ID});
}

TEST(PutBlobWithId, ALinkAtTheBlobPathIsReplacedNotFollowed) {
  Store s;
  Persist store = s.open();
  const fs::path outside = s.dir.path() / "outside";
  test::write_file(outside, "keep");
  fs::permissions(outside, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  fs::create_symlink(outside, s.install / "blobs" / ID);
  ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("pack"), true, false));
  EXPECT_EQ(test::read_file(outside), "keep");
  EXPECT_EQ(test::file_mode(outside), 0744u);
  EXPECT_FALSE(fs::is_symlink(s.install / "blobs" / ID));
  EXPECT_EQ(test::read_file(s.install / "blobs" / ID), "pack");
  EXPECT_EQ(test::file_mode(s.install / "blobs" / ID), 0600u);
}

// A crash between the append and the replacing leaves the new bytes beside
// the blob file; the next open finishes the write when the log records them,
// and drops them when it does not. The crashes are real cuts, at every change
// the second put makes, with everything unflushed lost or kept.
TEST(PutBlobWithId, TheNextOpenSettlesAWriteACrashCutShort) {
  for (const bool sealed : {false, true}) {
    bool finished = false, dropped = false;  // the two ways a pending write was settled
    for (std::size_t k = 1;; ++k) {
      Store s;
      const fs::path blob = s.install / "blobs" / ID;
      std::optional<test::FaultFileSystem> watched;
      {
        Persist store = s.open();
        ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("old"), true, sealed));
        watched.emplace(s.install);
        watched->cut_at(k);
        const ScopedFileSystem installed(*watched);
        (void)store.put_blob_with_id(ID, bytes_of("new"), true, sealed);
      }
      if (!watched->cut_happened()) break;
      for (const std::uint64_t seed : {0, 1}) {
        SCOPED_TRACE("sealed " + std::to_string(sealed) + ", cut at change " + std::to_string(k) + ", seed " +
                     std::to_string(seed));
        watched->power_cut(seed);
        bool pending = false;
        for (const auto& e : fs::directory_iterator(s.install / "blobs")) {
          pending = pending || e.path().filename().string().starts_with(".pending-");
        }
        Persist reopened = s.open();
        const auto records = reopened.blob_records().value();
        ASSERT_EQ(records.size(), 1u);
        // The file holds what the latest record says, old or new.
        EXPECT_TRUE(reopened.check_blob_file(records[0]));
        EXPECT_EQ(test::names_in(s.install / "blobs"), std::vector<std::string>{ID});
        const bool is_new = records[0].sha256 == sha256_hex(std::string_view("new"));
        if (pending) (is_new ? finished : dropped) = true;
      }
    }
    EXPECT_TRUE(finished) << "no cut left recorded bytes pending";
    EXPECT_TRUE(dropped) << "no cut left unrecorded bytes pending";
  }
}

// Puts made durable together: the same records, in the same order and the same
// segments, as one put after another, with one flush of the log for all of them.
TEST(PutBlobsWithId, RecordsEveryPutAndKeepsTheLastBytesOfEachFile) {
  Store s;
  Persist store = s.open();
  const std::string other = "01939a3c-6000-7000-8000-00000000000b";
  const std::vector<std::uint8_t> a1 = bytes_of("a1"), b1 = bytes_of("b1"), a2 = bytes_of("a2");
  const BlobPut puts[] = {{ID, a1, true, false}, {other, b1, false, true}, {ID, a2, true, false}};
  const std::string before = "01939a3c-6000-7000-8000-00000000000c";
  ASSERT_TRUE(store.put_blob_with_id(before, bytes_of("c"), true, false));  // the segment is there already
  test::FaultFileSystem counting(s.install);
  Result<std::vector<BlobRecord>> records;
  {
    const ScopedFileSystem installed(counting);
    records = store.put_blobs_with_id(puts);
  }
  ASSERT_TRUE(records) << records.error();
  ASSERT_EQ(records->size(), 3u);
  EXPECT_EQ((*records)[0].sha256, sha256_hex(std::string_view("a1")));
  EXPECT_EQ((*records)[2].sha256, sha256_hex(std::string_view("a2")));
  EXPECT_TRUE((*records)[1].encrypted);
  // The log holds the three records, in order; the files the last bytes of each.
  std::vector<std::string> logged;
  const auto events = store.read_payloads();
  ASSERT_TRUE(events) << events.error();
  for (const auto& event : *events) logged.push_back(std::get<BlobRecord>(event).sha256);
  EXPECT_EQ(logged, (std::vector<std::string>{sha256_hex(std::string_view("c")), (*records)[0].sha256,
                                              (*records)[1].sha256, (*records)[2].sha256}));
  EXPECT_EQ(test::read_file(s.install / "blobs" / ID), "a2");
  const auto listed = store.blob_records();
  ASSERT_TRUE(listed) << listed.error();
  for (const auto& record : *listed) EXPECT_TRUE(store.check_blob_file(record)) << record.blob_id;
  EXPECT_EQ(test::names_in(s.install / "blobs"), (std::vector<std::string>{ID, other, before}));
  // Three files written and flushed, the log flushed once, the directory
  // flushed once before the append and once after the renames.
  EXPECT_EQ(counting.count(test::FsOp::sync), 4u);
  EXPECT_EQ(counting.count(test::FsOp::sync_directory), 2u);
}

TEST(PutBlobsWithId, AFailureBeforeTheRecordsLeavesNothing) {
  struct Case {
    const char* what;
    test::FsOp op;
    std::size_t nth;
  };
  const Case cases[] = {
      {"the second file's flush", test::FsOp::sync, 2},
      {"the directory's flush", test::FsOp::sync_directory, 1},
      {"the log's flush", test::FsOp::sync, 3},
      {"the log's write", test::FsOp::write, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist store = s.open();
    ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("old"), true, false));
    const std::string other = "01939a3c-6000-7000-8000-00000000000b";
    const std::vector<std::uint8_t> x = bytes_of("x"), y = bytes_of("y");
    const BlobPut puts[] = {{ID, x, true, false}, {other, y, true, false}};
    test::FaultFileSystem faulty(s.install);
    faulty.fail(c.op, c.nth, EIO);
    {
      const ScopedFileSystem installed(faulty);
      EXPECT_FALSE(store.put_blobs_with_id(puts));
    }
    EXPECT_EQ(frame_count(store), 1u);
    EXPECT_EQ(test::read_file(s.install / "blobs" / ID), "old");
    EXPECT_EQ(test::names_in(s.install / "blobs"), std::vector<std::string>{ID});
    // Once the fault clears, the same puts succeed.
    EXPECT_TRUE(store.put_blobs_with_id(puts));
    EXPECT_EQ(frame_count(store), 3u);
  }
}

// Frames appended together go where one append after another would put them:
// a segment takes frames until it holds its size limit, the frame that crosses
// it included, and the rest begin the next segment.
TEST(PutBlobsWithId, FramesCrossTheSegmentLimitAsOneByOne) {
  const auto fill = [](Store& s) {
    // Blank lines, which a read skips, bring the day's segment near its limit.
    Persist store = s.open();
    ASSERT_TRUE(store.append_ltr_payload(sample_record(1)));
    const std::string text = test::read_file(day_segment(s));
    test::write_file(day_segment(s), text + std::string(LTR_SEGMENT_LIMIT - text.size() - 1500, '\n'));
  };
  std::vector<std::vector<std::uint8_t>> bytes;
  std::vector<std::string> ids;
  for (int n = 0; n < 12; ++n) {
    char id[64];
    std::snprintf(id, sizeof id, "01939a3c-6000-7000-8000-%012d", 100 + n);
    ids.push_back(id);
    bytes.push_back(bytes_of("bytes " + std::to_string(n)));
  }
  std::vector<BlobPut> puts;
  for (std::size_t n = 0; n < ids.size(); ++n) puts.push_back({ids[n], bytes[n], true, false});

  Store together;
  fill(together);
  {
    Persist store = together.open();
    ASSERT_TRUE(store.put_blobs_with_id(puts));
    EXPECT_EQ(frame_count(store), 13u);
  }
  // The day's segment took its last frame while it was below the limit, and
  // that frame took it to the limit or past it; the rest began the next one.
  const std::string full = test::read_file(day_segment(together));
  const std::size_t last_line = full.rfind('\n', full.size() - 2) + 1;
  EXPECT_LT(last_line, LTR_SEGMENT_LIMIT);
  EXPECT_GE(full.size(), LTR_SEGMENT_LIMIT);
  const std::vector<std::string> rest = lines_of(together.segment("2026-01-05-00002.jsonl"));
  EXPECT_FALSE(rest.empty());
  EXPECT_LT(rest.size(), puts.size()) << "the frames should cross the limit";
  EXPECT_EQ(test::names_in(together.current).size(), 2u);
  Persist reopened = together.open();
  EXPECT_EQ(frame_count(reopened), 13u);
}

// Once the install moved away, the store writes nothing and makes no directory.
TEST(Store, WritesNothingOnceItsInstallMoved) {
  Store s;
  Persist store = s.open();
  ASSERT_TRUE(store.put_blob_with_id(ID, bytes_of("x"), true, false));
  ASSERT_TRUE(store.check_in_place());
  const fs::path moved = s.dir.path() / "moved";
  fs::rename(s.install, moved);
  const std::string gone = "install root " + s.install.string() + " was moved or removed after the store opened";
  EXPECT_EQ(store.check_in_place().error(), gone);
  EXPECT_EQ(store.append_ltr_payload(sample_record(2)).error(), gone);
  EXPECT_EQ(store.put_blob_with_id(ID, bytes_of("y"), true, false).error(), gone);
  test::write_file(moved / "staging", "z");
  EXPECT_EQ(store.put_blob_from_path(ID, moved / "staging", true).error(), gone);
  EXPECT_FALSE(fs::exists(s.install));

  // A directory put back at the same place is another one.
  fs::create_directories(s.persist);
  EXPECT_EQ(store.append_ltr_payload(sample_record(2)).error(), gone);
  fs::remove_all(s.install);
  fs::rename(moved, s.install);
  EXPECT_EQ(store.append_ltr_payload(sample_record(2)).value(), 2u);
}

}  // namespace
}  // namespace kio::install

namespace kio::install {
namespace {

using namespace testing;

// An audit beside a writer: the audit reads the log (its snapshot), then the
// blob files, while the writer goes on. What the writer does in between is not
// damage; what changed the file behind the store's back still is.
TEST(BlobAudit, JudgesAFileAgainstTheLogAsItStandsWhenTheFileIsRead) {
  struct Case {
    const char* what;
    // Runs after the snapshot, with the writer's handle and the blob file's path.
    std::function<void(Persist& writer, const fs::path& blob)> after_snapshot;
    std::string says;  // "" when the file holds; else what the audit reports after the blob path
  };
  const std::string pending_new = ".pending-" + ID + "-" + sha256_hex(std::string_view("new"));
  const Case cases[] = {
      {"a new pack stored since the snapshot",
       [](Persist& w, const fs::path&) { ASSERT_TRUE(w.put_blob_with_id(ID, bytes_of("new"), true, false)); }, ""},
      {"two packs stored since, the file holding the first of them",
       [](Persist& w, const fs::path& blob) {
         ASSERT_TRUE(w.put_blob_with_id(ID, bytes_of("new"), true, false));
         const std::string newer = test::read_file(blob);
         ASSERT_TRUE(w.put_blob_with_id(ID, bytes_of("newer"), true, false));
         test::write_file(blob, newer);
       },
       ""},
      {"the latest record appended, its bytes not yet renamed into place",
       [&](Persist& w, const fs::path& blob) {
         const std::string old_bytes = test::read_file(blob);
         ASSERT_TRUE(w.put_blob_with_id(ID, bytes_of("new"), true, false));
         fs::rename(blob, blob.parent_path() / pending_new);
         test::write_file(blob, old_bytes);
       },
       ""},
      {"a file changed behind the store's back",
       [](Persist&, const fs::path& blob) { test::write_file(blob, "other bytes"); }, "content of other bytes"},
      {"pending bytes that are not what their name says",
       [&](Persist& w, const fs::path& blob) {
         const std::string old_bytes = test::read_file(blob);
         ASSERT_TRUE(w.put_blob_with_id(ID, bytes_of("new"), true, false));
         test::write_file(blob.parent_path() / pending_new, "ne");
         test::write_file(blob, "damaged");
       },
       "content of damaged"},
      {"the file of an earlier record put back",
       [](Persist&, const fs::path& blob) { test::write_file(blob, "first"); }, "content of first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist writer = s.open();
    ASSERT_TRUE(writer.put_blob_with_id(ID, bytes_of("first"), true, false));
    ASSERT_TRUE(writer.put_blob_with_id(ID, bytes_of("second"), true, false));
    const fs::path blob = s.install / "blobs" / ID;

    auto audit = Persist::open_read_only(s.persist, s.key).value();
    std::optional<BlobRecord> seen;
    const std::uint64_t frames = audit
                                     .visit_events([&](std::uint64_t, LtrPayload& event) {
                                       if (auto* r = std::get_if<BlobRecord>(&event)) seen = *r;
                                     })
                                     .value();
    ASSERT_TRUE(seen);
    c.after_snapshot(writer, blob);
    // What the snapshot alone would say of every case but the first.
    const auto judged = audit.audit_blob_file(*seen, frames, std::chrono::milliseconds(10));
    if (c.says.empty()) {
      EXPECT_TRUE(judged) << judged.error();
    } else {
      ASSERT_FALSE(judged);
      const auto latest = writer.blob_records().value().front();
      EXPECT_EQ(judged.error(), "blob file " + blob.string() + " holds content of sha256 " +
                                    sha256_hex(std::string_view(c.says.substr(11))) + ", recorded " + latest.sha256);
    }
  }
}

}  // namespace
}  // namespace kio::install
