// kio-ltr against an install written through the store: where a damaged frame
// lies, blob files that no longer hold what their records say, and a tool that
// only reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "install/crypto.h"
#include "install/keys.h"
#include "install/persist/persist.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio {
namespace {

const std::string PLAIN = "01939a3c-6000-7000-8000-00000000000a";
const std::string SEALED = "01939a3c-6000-7000-8000-00000000000b";
const std::string LANDED = "01939a3c-6000-7000-8000-00000000000c";

SecretKey key_of(std::uint8_t seed) {
  std::uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes, 32));
}

using test::bytes_of;

// An install whose log records three blobs (one stored twice), in one segment.
struct LtrInstall {
  LtrInstall() {
    fs::create_directories(persist);
    if (!install::write_identity(persist, wrap, {"ada", "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71"})) std::abort();
    const auto text = install::format_keys(install::InstallKeys{key_of(1), wrap});
    test::write_file(keys, std::string(text.view()));
    auto store = install::Persist::open(persist, wrap);
    if (!store) std::abort();
    store->set_local_date_source([] { return install::CalendarDate{2026, 1, 5}; });
    test::write_file(dir / "staging", "landed bytes");
    if (!store->put_blob_with_id(PLAIN, bytes_of("first bytes"), true, false) ||
        !store->put_blob_with_id(SEALED, bytes_of("sealed bytes"), false, true) ||
        !store->put_blob_from_path(LANDED, dir / "staging", false) ||
        !store->put_blob_with_id(PLAIN, bytes_of("plain bytes"), true, false)) {
      std::abort();
    }
  }

  test::RunResult ltr(const std::string& command) const {
    test::RunOptions options;
    options.args = {command, "--keys", keys.string(), "--root", root.string()};
    options.env["HOME"] = dir.path().string();
    return test::run_program(test::binary_path("kio-ltr"), options);
  }

  fs::path blob(const std::string& id) const { return root / "blobs" / id; }

  test::TempDir dir;
  fs::path root = dir / "install";
  fs::path persist = root / "persist";
  fs::path segment = persist / "ltr" / "current" / "2026-01-05-00001.jsonl";
  fs::path keys = dir / "keys";
  SecretKey wrap = key_of(7);
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t feed = text.find('\n', pos);
    lines.push_back(text.substr(pos, feed - pos));
    pos = feed + 1;
  }
  return lines;
}

TEST(LtrTool, NamesTheSegmentAndLineOfADamagedFrame) {
  struct Case {
    const char* what;
    std::function<std::vector<std::string>(std::vector<std::string>)> edit;
    std::string where;  // ":line: message"
  };
  const Case cases[] = {
      {"a line that is no frame", [](auto l) { l[1] = "{\"not\":\"a frame\"}"; return l; }, ":2: corrupt LTR frame"},
      {"two frames swapped", [](auto l) { std::swap(l[2], l[3]); return l; }, ":3: LTR chain is broken"},
      {"the last frame altered: the chain holds, its event does not open", [](auto l) {
         const std::size_t at = l[3].find("ciphertext_b64") + 20;
         l[3][at] = l[3][at] == 'A' ? 'B' : 'A';
         return l;
       }, ":4: decryption failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LtrInstall install;
    std::string text;
    for (const auto& line : c.edit(lines_of(test::read_file(install.segment)))) text += line + "\n";
    test::write_file(install.segment, text);
    for (const std::string command : {"verify", "list", "blobs"}) {
      const auto r = install.ltr(command);
      EXPECT_EQ(r.exit_code, 1) << command;
      EXPECT_EQ(r.err, "kio-ltr: " + install.segment.string() + c.where + "\n") << command;
    }
  }
}

TEST(LtrTool, VerifyChecksEachBlobFileAgainstItsLatestRecord) {
  {
    LtrInstall install;
    const auto r = install.ltr("verify");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "ok: 4 frames, chain verified, every event opened, every blob file matches its record (3)\n");
  }
  struct Case {
    const char* what;
    std::function<void(const LtrInstall&)> change;
    std::map<std::string, std::string> reports;  // blob id -> what verify says of it
  };
  const auto holds = [](const std::string& content, const std::string& recorded) {
    return " holds content of sha256 " + install::sha256_hex(std::string_view(content)) + ", recorded " +
           install::sha256_hex(std::string_view(recorded));
  };
  const Case cases[] = {
      {"the content of the first record, not the latest",
       [](const LtrInstall& i) { test::write_file(i.blob(PLAIN), "first bytes"); },
       {{PLAIN, holds("first bytes", "plain bytes")}}},
      {"a landed file changed and a sealed one removed",
       [](const LtrInstall& i) {
         fs::remove(i.blob(LANDED));  // the staging file is the same file: write a new one
         test::write_file(i.blob(LANDED), "other bytes");
         fs::remove(i.blob(SEALED));
       },
       {{LANDED, holds("other bytes", "landed bytes")}, {SEALED, " is missing"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LtrInstall install;
    c.change(install);
    const auto r = install.ltr("verify");
    EXPECT_EQ(r.exit_code, 1);
    std::string out;
    for (const auto& [id, report] : c.reports) out += "blob " + id + ": blob file " + install.blob(id).string() + report + "\n";
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, "kio-ltr: " + std::to_string(c.reports.size()) + " of 3 recorded blob files do not match their records\n");
  }
}

// A writer appends a blob's record before its new bytes replace the blob file;
// caught in between, the file still holds the bytes before, and the new ones
// wait whole beside it. That is no damage; pending bytes that are not whole do
// not excuse the file.
TEST(LtrTool, VerifyTakesBytesWaitingForTheirRenameAsTheBlobFile) {
  const std::string newest = "newest bytes";
  const std::string pending = ".pending-" + PLAIN + "-" + install::sha256_hex(std::string_view(newest));
  const std::pair<std::string, std::string> cases[] = {{"whole", newest}, {"cut short", "newest"}};
  for (const auto& [what, waiting] : cases) {
    SCOPED_TRACE(what);
    LtrInstall install;
    const std::string before = test::read_file(install.blob(PLAIN));
    {
      auto store = install::Persist::open(install.persist, install.wrap);
      ASSERT_TRUE(store);
      store->set_local_date_source([] { return install::CalendarDate{2026, 1, 5}; });
      ASSERT_TRUE(store->put_blob_with_id(PLAIN, bytes_of(newest), true, false));
    }
    fs::remove(install.blob(PLAIN));
    test::write_file(install.blob(PLAIN), before);
    test::write_file(install.root / "blobs" / pending, waiting);
    const auto r = install.ltr("verify");
    if (waiting == newest) {
      EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    } else {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.out, "blob " + PLAIN + ": blob file " + install.blob(PLAIN).string() + " holds content of sha256 " +
                           install::sha256_hex(std::string_view(before)) + ", recorded " +
                           install::sha256_hex(std::string_view(newest)) + "\n");
    }
  }
}

TEST(LtrTool, OnlyReads) {
  LtrInstall install;
  // What an open for writing would change: a missing directory, wider modes, a
  // segment of an older name.
  fs::remove_all(install.persist / "lmdb");
  fs::permissions(install.persist / "ltr" / "current", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  test::write_file(install.persist / "ltr" / "current" / "2026/01/31/third-party-secrets-2.jsonl", "");
  const auto snapshot = [&] {
    std::vector<std::string> entries;
    for (const auto& e : fs::recursive_directory_iterator(install.root)) {
      std::string entry = e.path().string() + " " + std::to_string(test::file_mode(e.path()));
      if (e.is_regular_file()) entry += " " + test::read_file(e.path());
      entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  const auto before = snapshot();
  for (const std::string command : {"verify", "list", "blobs"}) {
    const auto r = install.ltr(command);
    EXPECT_EQ(r.exit_code, 0) << command << ": " << r.err;
  }
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
}  // namespace kio
