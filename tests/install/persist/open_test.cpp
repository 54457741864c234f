// Store layout, the sealed identity and opening the store.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "install/crypto.h"
#include "install/persist/layout.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

std::vector<fs::path> layout_dirs(const Store& s) {
  return {s.persist, s.persist / "ltr", s.current, s.persist / "lmdb", s.install / "blobs"};
}

TEST(Layout, OpeningAnEmptyRootLaysOutPrivateDirectories) {
  Store s;  // only for its paths and key
  fs::remove_all(s.persist);
  ::umask(022);
  auto opened = Persist::open(s.persist, s.key);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), "No such file or directory (os error 2)");
  for (const auto& d : layout_dirs(s)) EXPECT_EQ(test::file_mode(d), 0700u) << d;

  // Opening again with an identity changes nothing but the modes.
  Store::init(s.persist, s.key, FOUNDER);
  for (const auto& d : layout_dirs(s)) fs::permissions(d, fs::perms::all);
  ASSERT_TRUE(Persist::open(s.persist, s.key));
  for (const auto& d : layout_dirs(s)) EXPECT_EQ(test::file_mode(d), 0700u) << d;
  std::vector<std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(s.install)) entries.push_back(e.path().lexically_relative(s.install));
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"blobs", "persist", "persist/identity.json", "persist/lmdb",
                                               "persist/ltr", "persist/ltr/current"}));
}

TEST(Layout, FailuresNameTheOsError) {
  test::TempDir dir;
  test::write_file(dir / "file", "");
  auto under_file = ensure_layout(dir / "file" / "persist");
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error(), "Not a directory (os error 20)");

  test::write_file(dir / "p" / "ltr", "a file where a directory belongs");
  auto blocked = ensure_layout(dir / "p");
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), "File exists (os error 17)");
  EXPECT_FALSE(fs::exists(dir / "p" / "lmdb"));  // later directories are not made
}

TEST(Layout, MovesTheOlderBlobDirectoryKeepingEveryByte) {
  Store s;
  test::write_file(s.persist / "blobs" / "a", "old a");
  test::write_file(s.persist / "blobs" / "b", "old b");
  test::write_file(s.persist / "blobs" / "c", "same c");
  test::write_file(s.install / "blobs" / "a", "current a");
  test::write_file(s.install / "blobs" / "a.older-copy", "taken");
  test::write_file(s.install / "blobs" / "c", "same c");
  ASSERT_TRUE(ensure_layout(s.persist));
  ASSERT_TRUE(move_legacy_blobs(s.persist));
  EXPECT_EQ(test::read_file(s.install / "blobs" / "a"), "current a");
  // Other bytes under a name the blobs root has are kept beside it.
  EXPECT_EQ(test::read_file(s.install / "blobs" / "a.older-copy"), "taken");
  EXPECT_EQ(test::read_file(s.install / "blobs" / "a.older-copy-2"), "old a");
  EXPECT_EQ(test::read_file(s.install / "blobs" / "b"), "old b");
  EXPECT_EQ(test::read_file(s.install / "blobs" / "c"), "same c");
  EXPECT_FALSE(fs::exists(s.install / "blobs" / "c.older-copy"));
  EXPECT_FALSE(fs::exists(s.persist / "blobs"));

  // A plain file where the older directory was is not the product's: it stays.
  test::write_file(s.persist / "blobs", "someone's file");
  ASSERT_TRUE(move_legacy_blobs(s.persist));
  EXPECT_EQ(test::read_file(s.persist / "blobs"), "someone's file");
}

// Migrations wait for the identity to open: a wrong key changes nothing on disk.
TEST(Layout, AWrongKeyMigratesNothing) {
  Store s;
  test::write_file(s.persist / "blobs" / "b", "old b");
  test::write_file(s.current / "2026/01/31/third-party-secrets-2.jsonl", "");
  auto wrong = Persist::open(s.persist, key_from(2));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error(), "decryption failed");
  EXPECT_EQ(test::read_file(s.persist / "blobs" / "b"), "old b");
  EXPECT_FALSE(fs::exists(s.install / "blobs" / "b"));
  EXPECT_TRUE(fs::exists(s.current / "2026/01/31/third-party-secrets-2.jsonl"));
  EXPECT_FALSE(fs::exists(s.current / "2026-01-31-00002.jsonl"));

  ASSERT_TRUE(Persist::open(s.persist, s.key));
  EXPECT_TRUE(fs::exists(s.current / "2026-01-31-00002.jsonl"));
  EXPECT_EQ(test::read_file(s.install / "blobs" / "b"), "old b");
  EXPECT_FALSE(fs::exists(s.persist / "blobs"));
}

// Writes identity.json as an installer would, from raw JSON texts.
void write_envelope(const fs::path& persist, const SecretKey& key, const std::string& plaintext,
                    const std::string& envelope_template) {
  const auto sealed = encrypt(key, as_bytes("founder-identity"), as_bytes(plaintext)).value();
  std::string text = envelope_template;
  text.replace(text.find("NONCE"), 5, sealed.nonce_b64);
  text.replace(text.find("CIPHER"), 6, sealed.ciphertext_b64);
  test::write_file(persist / "identity.json", text);
}

TEST(Identity, ReadsOnlyAWellFormedSealedIdentity) {
  const std::string good_plain = R"({"username":"ada","founder_id":"f1"})";
  const std::string good_env = R"({"version":1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})";
  struct Case {
    std::string plaintext, envelope, want;  // want: founder id, or "!error"
  };
  const Case cases[] = {
      {good_plain, good_env, "f1"},
      {good_plain, R"({"version":7,"extra":[1,{"x":null}],"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"} )", "f1"},
      {R"({"founder_id":"f2","username":"","more":1})", good_env, "f2"},
      {good_plain, R"({"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})", "!install identity is corrupt"},
      {good_plain, R"({"version":"1","nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})", "!install identity is corrupt"},
      {good_plain, R"({"version":-1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})", "!install identity is corrupt"},
      {good_plain, R"({"version":4294967296,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})", "!install identity is corrupt"},
      {good_plain, R"({"version":1,"version":1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"})", "!install identity is corrupt"},
      {good_plain, R"({"version":1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"}x)", "!install identity is corrupt"},
      {good_plain, R"([{"version":1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHER"}])", "!install identity is corrupt"},
      {good_plain, R"({"version":1,"nonce_b64":"AAAA","ciphertext_b64":"CIPHER","x":"NONCE"})", "!corrupt nonce"},
      {good_plain, R"({"version":1,"nonce_b64":"NONCE","ciphertext_b64":"CIPHE","x":"CIPHER"})", "!corrupt ciphertext"},
      {R"({"founder_id":"f1"})", good_env, "!install identity is corrupt"},
      {R"({"username":null,"founder_id":"f1"})", good_env, "!install identity is corrupt"},
      {R"({"username":"a","founder_id":"f1","username":"b"})", good_env, "!install identity is corrupt"},
      {R"("f1")", good_env, "!install identity is corrupt"},
  };
  for (const auto& c : cases) {
    Store s;
    write_envelope(s.persist, s.key, c.plaintext, c.envelope);
    auto opened = Persist::open(s.persist, s.key);
    const std::string got = opened ? opened->founder_id() : "!" + opened.error();
    EXPECT_EQ(got, c.want) << c.plaintext << " in " << c.envelope;
  }
}

TEST(Identity, OtherKeyAndIndependentOpening) {
  Store s;
  auto wrong = Persist::open(s.persist, key_from(2));
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error(), "decryption failed");

  // The identity the store's helper writes opens with libsodium alone.
  const auto envelope = nlohmann::json::parse(test::read_file(s.persist / "identity.json"));
  EXPECT_EQ(test::read_file(s.persist / "identity.json").find(' '), std::string::npos);
  EXPECT_EQ(envelope["version"], 1);
  const auto plain = sodium_open(s.key, bytes_of("founder-identity"), envelope["nonce_b64"], envelope["ciphertext_b64"]);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, std::string(R"({"username":"ada","founder_id":")") + FOUNDER + "\"}");
  EXPECT_EQ(test::file_mode(s.persist / "identity.json"), 0600u);

  Persist store = s.open();
  EXPECT_EQ(store.founder_id(), FOUNDER);
  EXPECT_EQ(store.root(), s.persist);
  EXPECT_EQ(store.blobs_root(), s.install / "blobs");
}

TEST(ReadOnlyOpen, ReadsAndNeverWrites) {
  Store s;
  {
    Persist writer = s.open();
    ASSERT_TRUE(writer.put_blob_with_id("01939a3c-6000-7000-8000-00000000000a", bytes_of("x"), true, false));
  }
  // What an open for writing would change: a missing directory, a wide mode,
  // a segment of an older name.
  fs::remove_all(s.persist / "lmdb");
  fs::permissions(s.persist / "ltr", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  test::write_file(s.current / "2026/01/31/third-party-secrets-2.jsonl", "");
  const auto tree_before = [&] {
    std::vector<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(s.install)) {
      entries.push_back(e.path().lexically_relative(s.install).string() + " " + std::to_string(test::file_mode(e.path())));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  const auto before = tree_before();

  auto reader = Persist::open_read_only(s.persist, s.key);
  ASSERT_TRUE(reader) << reader.error();
  EXPECT_TRUE(reader->read_only());
  EXPECT_EQ(reader->founder_id(), FOUNDER);
  EXPECT_EQ(reader->read_frames().value().size(), 1u);
  EXPECT_EQ(reader->blob_records().value().size(), 1u);
  std::size_t events = 0;
  EXPECT_EQ(reader->visit_events([&](std::uint64_t, LtrPayload&) { ++events; }).value(), 1u);
  EXPECT_EQ(events, 1u);

  const std::string refused = "the store is open for reading only";
  EXPECT_EQ(reader->append_ltr_payload(sample_record(2)).error(), refused);
  EXPECT_EQ(reader->put_blob_with_id("01939a3c-6000-7000-8000-00000000000b", bytes_of("y"), true, false).error(), refused);
  test::write_file(s.install / "staging", "z");
  EXPECT_EQ(reader->put_blob_from_path("01939a3c-6000-7000-8000-00000000000c", s.install / "staging", false).error(),
            refused);
  EXPECT_EQ(reader->today_segment_path().error(), refused);
  fs::remove(s.install / "staging");
  EXPECT_EQ(tree_before(), before);

  EXPECT_EQ(Persist::open_read_only(s.persist, key_from(2)).error(), "decryption failed");
  EXPECT_EQ(Persist::open_read_only(s.install / "missing", s.key).error(), "No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(s.install / "missing"));
}

}  // namespace
}  // namespace kio::install
