// The install stays whole when the machine or its user is unlucky: a second
// connector, an install root moved away, a link planted at a blob path, a full
// or read-only file system. Each runs the real kio-connector.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "install/crypto.h"
#include "install/feature_pack.h"
#include "install/geonames.h"
#include "install/json.h"
#include "install/stream_format.h"
#include "p2p/kiofeature_frame.h"
#include "peer/peer_client.h"
#include "peer/stream_plan.h"
#include "tests/support/connector_process.h"
#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"
#include "tests/support/xx_peer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kio {
namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kPackId = install::GEONAMES_FEATURE_ID;
const std::string kIndexBlob = install::GEONAMES_INDEX_BLOB_ID;

using test::bytes_of;

using test::admission_json;
// A connector under test, driven over UDP by one session.
class Driver {
 public:
  Driver(const test::TestInstall& install, const fs::path& root)
      : process_(install, std::vector<std::string>{"--root", root.string()}), port_(process_.await_startup()) {
    client_.emplace(test::connect_xx(port_, 1));
  }

  void frame(const std::string& feature_id, const std::string& payload) {
    ASSERT_TRUE(test::send_feature_frame(*client_, feature_id, payload));
  }
  void admit(const std::string& feature) { frame("01939a3c-0000-7000-8000-00000000000a", admission_json(feature)); }
  void pack(const std::string& feature) { frame(kPackId, test::geonames_pack_json(feature)); }
  void stream(const std::vector<install::NamedFile>& files, const std::string& blob_id = kIndexBlob) {
    const Bytes packed = install::pack_files(files);
    auto messages = peer::plan_stream({kPackId, blob_id, "bytes", test::file_entries(files)}, packed, 4096).value();
    for (const auto& m : messages) ASSERT_TRUE(client_->send(m.channel, m.bytes));
  }

  std::string out() { return process_.next_out_line(10s).value_or("<no line>"); }
  std::string err() { return process_.next_err_line(10s).value_or("<no line>"); }
  test::ConnectorProcess& process() { return process_; }

 private:
  test::ConnectorProcess process_;
  std::uint16_t port_;
  std::optional<peer::PeerClient> client_;
};

std::string keys_file(const test::TestInstall& install) {
  const fs::path path = install.home.path() / "keys.txt";
  if (!fs::exists(path)) test::write_file(path, install.keys_text());
  return path.string();
}

test::RunResult run_tool(const std::string& tool, const std::vector<std::string>& args) {
  test::RunOptions options;
  options.args = args;
  return test::run_program(test::binary_path(tool), options);
}

test::RunResult ltr_verify(const test::TestInstall& install, const fs::path& root) {
  return run_tool("kio-ltr", {"verify", "--root", root.string(), "--keys", keys_file(install)});
}

// The "feature" of every manifest entry, in order; the file must parse.
std::vector<std::string> manifest_features(const fs::path& root) {
  const auto manifest = install::json::read_value(test::read_file(root / "features-manifest.json"),
                                                  install::json::Duplicates::refuse);
  if (!manifest) throw std::runtime_error("features-manifest.json does not parse");
  std::vector<std::string> names;
  for (const auto& entry : manifest->at("features")) names.push_back(entry.at("feature").get<std::string>());
  return names;
}

TEST(DurableInstall, ASecondConnectorIsRefusedBeforeItWritesAnything) {
  test::TestInstall install;
  Driver first(install, install.root);
  first.pack("cities");
  ASSERT_EQ(first.out(), "feature_pack_stored=" + kPackId);
  const std::string segment_before = [&] {
    std::string all;
    for (const auto& e : fs::recursive_directory_iterator(install.root / "persist" / "ltr")) {
      if (e.is_regular_file()) all += test::read_file(e.path());
    }
    return all;
  }();

  test::ConnectorProcess second(install);
  EXPECT_EQ(second.next_err_line(10s).value_or("<none>"),
            "kio-connector: install root " + install.root.string() + " is in use by another process");
  EXPECT_EQ(second.drain_out(200ms), "");
  // It ends by itself; under load that may take longer than the drain above.
  const auto status = second.wait_exit(20s);
  ASSERT_TRUE(status) << "the refused connector still runs";
  ASSERT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);

  // kio-install refuses the root too; kio-ltr reads it while it is held.
  const auto installer = run_tool("kio-install", {"--root", install.root.string(), "--keys-out",
                                                  (install.home.path() / "other-keys").string()});
  EXPECT_NE(installer.exit_code, 0);
  EXPECT_NE(installer.err.find("is in use by another process"), std::string::npos) << installer.err;
  EXPECT_FALSE(fs::exists(install.home.path() / "other-keys"));
  const auto verify = ltr_verify(install, install.root);
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;

  // The first one goes on alone, and its chain holds.
  first.pack("admin");
  EXPECT_EQ(first.out(), "feature_pack_stored=" + kPackId);
  std::string segments_after;
  for (const auto& e : fs::recursive_directory_iterator(install.root / "persist" / "ltr")) {
    if (e.is_regular_file()) segments_after += test::read_file(e.path());
  }
  EXPECT_TRUE(segments_after.starts_with(segment_before));
  EXPECT_EQ(ltr_verify(install, install.root).exit_code, 0);

  // Once the first is gone, the next one starts.
  first.process().stop(SIGKILL);
  test::ConnectorProcess third(install);
  EXPECT_NE(third.await_startup(), 0);
}

TEST(DurableInstall, AnInstallMovedAwayIsNeitherRecreatedNorReportedAsWritten) {
  test::TestInstall install;
  Driver driver(install, install.root);
  driver.admit("before");
  ASSERT_EQ(driver.out(), "feature_admitted=before");

  const fs::path moved = install.root.parent_path() / "moved";
  fs::rename(install.root, moved);
  const std::string gone = "install root " + install.root.string() + " was moved or removed after the store opened";
  driver.admit("maps");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + gone);
  driver.pack("cities");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + gone);
  driver.stream({{"data.mdb", Bytes(5000, 'd')}});
  EXPECT_TRUE(driver.err().starts_with("kio-connector: "));
  EXPECT_EQ(driver.process().drain_out(300ms), "");
  EXPECT_FALSE(fs::exists(install.root));

  // An empty directory made at the old place is not the install either.
  fs::create_directory(install.root);
  driver.pack("cities");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + gone);
  EXPECT_TRUE(fs::is_empty(install.root));
  // Nor is one with a blobs directory of its own: no stream spools there, and
  // no status file is written there; the stream is named on standard error.
  fs::create_directory(install.root / "blobs");
  driver.stream({{"data.mdb", Bytes(5000, 'd')}});
  EXPECT_EQ(driver.err(), "kio-connector: stream: stream " + kIndexBlob + " failed: " + gone);
  EXPECT_EQ(driver.process().drain_out(300ms), "");
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(install.root)) left.push_back(e.path().string());
  EXPECT_EQ(left, std::vector<std::string>{(install.root / "blobs").string()});

  // What had landed stays in the moved install, whole.
  EXPECT_EQ(manifest_features(moved), std::vector<std::string>{"before"});
  EXPECT_EQ(ltr_verify(install, moved).exit_code, 0);
}

// kio-ltr verify run again and again while the connector stores packs and
// lands streams: the files it replaces meanwhile are never taken for damage,
// and a file changed behind the store's back still is.
TEST(DurableInstall, VerifyBesideAWritingConnectorReportsOnlyRealDamage) {
  test::TestInstall install;
  Driver driver(install, install.root);
  driver.pack("first");
  ASSERT_EQ(driver.out(), "feature_pack_stored=" + kPackId);
  const std::vector<install::NamedFile> index = {{"data.mdb", Bytes(20000, 'd')}, {"lock.mdb", Bytes{'L'}}};
  std::atomic<bool> stop{false};
  std::atomic<int> stored{0};
  std::thread writer([&] {
    for (int n = 0; !stop; ++n) {
      driver.pack("pack-" + std::to_string(n));
      if (driver.out() != "feature_pack_stored=" + kPackId) return;
      ++stored;
      if (n % 4 == 0) {
        driver.stream(index);
        if (driver.out() != "blob_received=" + kIndexBlob) return;
        driver.out();
        driver.out();
      }
    }
  });
  for (int run = 0; run < 30; ++run) {
    const auto verify = ltr_verify(install, install.root);
    EXPECT_EQ(verify.exit_code, 0) << "run " << run << ": " << verify.out << verify.err;
  }
  stop = true;
  writer.join();
  EXPECT_GT(stored.load(), 30) << "the connector stored packs all along";

  const fs::path pack = install.root / "blobs" / kPackId;
  fs::remove(pack);
  test::write_file(pack, "changed behind the store's back");
  const auto verify = ltr_verify(install, install.root);
  EXPECT_EQ(verify.exit_code, 1);
  EXPECT_NE(verify.out.find("blob " + kPackId + ": blob file " + pack.string() + " holds content of sha256 " +
                            install::sha256_hex(std::string_view("changed behind the store's back"))),
            std::string::npos)
      << verify.out;
}

TEST(DurableInstall, ALinkPlantedAtABlobPathIsReplacedNotFollowed) {
  test::TestInstall install;
  Driver driver(install, install.root);
  const fs::path outside = install.home.path() / "outside.txt";
  test::write_file(outside, "not the install's");
  fs::permissions(outside, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
  const fs::path blob = install.root / "blobs" / kPackId;
  fs::create_symlink(outside, blob);

  driver.pack("cities");
  ASSERT_EQ(driver.out(), "feature_pack_stored=" + kPackId);
  EXPECT_EQ(test::read_file(outside), "not the install's");
  EXPECT_EQ(test::file_mode(outside), 0644u);
  EXPECT_FALSE(fs::is_symlink(blob));
  EXPECT_EQ(test::file_mode(blob), 0600u);
  const auto verify = ltr_verify(install, install.root);
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
}

TEST(DurableInstall, ALandingErrorIsOneLineInItsStatusFile) {
  test::TestInstall install;
  Driver driver(install, install.root);
  // A peer's blob id that would start a line of its own in the status file.
  driver.stream({{"data.mdb", Bytes(100, 'd')}}, "x\nblob_id=" + kIndexBlob);
  EXPECT_EQ(driver.err(), "kio-connector: blob: unexpected blob_id for geonames index: x\\u000ablob_id=" + kIndexBlob);
  const fs::path status = install.root / "blob-land-error.txt";
  for (int i = 0; i < 200 && !fs::exists(status); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(test::read_file(status), "unexpected blob_id for geonames index: x\\u000ablob_id=" + kIndexBlob + "\n");
}

// A small file system of its own, mounted for one test; needs root.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const fs::path& at) : at_(at) {
    fs::create_directories(at_);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=2m,mode=0755") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  bool remount(bool read_only) {
    return ::mount("tmpfs", at_.c_str(), "tmpfs", MS_REMOUNT | (read_only ? MS_RDONLY : 0), "size=2m,mode=0755") == 0;
  }
  // Takes every free byte with one file.
  void fill() {
    const fs::path filler = at_ / "filler";
    FILE* f = std::fopen(filler.c_str(), "w");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
    }
    std::fclose(f);
  }
  void free_space() { fs::remove(at_ / "filler"); }

 private:
  fs::path at_;
  bool mounted_ = false;
};

// A connector serving an install root on a small file system of its own
// (2 MB), with the identity of `install`.
class OnASmallFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    small_.emplace(install.home.path() / "small");
    if (!small_->mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    root = install.home.path() / "small" / "install";
    fs::create_directories(root / "persist");
    fs::copy_file(install.root / "persist" / "identity.json", root / "persist" / "identity.json");
    driver_.emplace(install, root);
  }
  void TearDown() override {
    driver_.reset();  // the connector goes before its file system
    small_.reset();
  }
  SmallFileSystem& small() { return *small_; }
  Driver& driver() { return *driver_; }

  test::TestInstall install;
  fs::path root;

 private:
  std::optional<SmallFileSystem> small_;
  std::optional<Driver> driver_;
};

TEST_F(OnASmallFileSystem, AFullFileSystemStopsNothingForGood) {
  Driver& driver = this->driver();
  driver.admit("first");
  ASSERT_EQ(driver.out(), "feature_admitted=first");
  driver.pack("cities");
  ASSERT_EQ(driver.out(), "feature_pack_stored=" + kPackId);

  small().fill();
  const std::string full = "No space left on device (os error 28)";
  driver.admit("lost");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + full);
  driver.pack("lost");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + full);
  driver.stream({{"data.mdb", Bytes(256 * 1024, 'd')}});
  EXPECT_NE(driver.err().find(full), std::string::npos);
  EXPECT_EQ(driver.process().drain_out(300ms), "");
  // What was there before stays readable and whole.
  EXPECT_EQ(manifest_features(root), (std::vector<std::string>{"first", "geonames"}));

  small().free_space();
  driver.admit("second");
  EXPECT_EQ(driver.out(), "feature_admitted=second");
  driver.pack("admin");
  EXPECT_EQ(driver.out(), "feature_pack_stored=" + kPackId);
  driver.stream({{"data.mdb", Bytes(5000, 'd')}, {"lock.mdb", Bytes{'L'}}});
  EXPECT_EQ(driver.out(), "blob_received=" + kIndexBlob);
  driver.out();
  driver.out();
  EXPECT_EQ(manifest_features(root), (std::vector<std::string>{"first", "geonames", "second", "geonames", "geonames"}));
  const auto verify = ltr_verify(install, root);
  EXPECT_EQ(verify.exit_code, 0) << verify.out << verify.err;
  EXPECT_EQ(test::read_file(root / "blobs" / (kIndexBlob + ".lmdb") / "lock.mdb"), "L");
  EXPECT_EQ(driver.process().drain_err(100ms), "");
}

// The spool of a stream larger than the room left fills the file system; the
// stream is named, and once its spool is gone there is room for the report
// where its sender looks.
TEST_F(OnASmallFileSystem, AStreamThatFillsTheDiskIsNamedWhereItsSenderLooks) {
  Driver& driver = this->driver();
  driver.stream({{"data.mdb", Bytes(std::size_t{3} << 20, 'd')}});
  const std::string report = "stream " + kIndexBlob + " failed: IO error: No space left on device (os error 28)";
  EXPECT_EQ(driver.err(), "kio-connector: stream: " + report);
  const fs::path status = root / "blob-land-error.txt";
  for (int i = 0; i < 200 && !fs::exists(status); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(test::read_file(status), report + "\n");
  for (const auto& e : fs::directory_iterator(root / "blobs")) ADD_FAILURE() << "left: " << e.path();
}

TEST_F(OnASmallFileSystem, AReadOnlyFileSystemStopsNothingForGood) {
  Driver& driver = this->driver();
  driver.admit("first");
  ASSERT_EQ(driver.out(), "feature_admitted=first");

  ASSERT_TRUE(small().remount(/*read_only=*/true));
  const std::string read_only = "Read-only file system (os error 30)";
  driver.admit("lost");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + read_only);
  driver.pack("cities");
  EXPECT_EQ(driver.err(), "kio-connector: feature: " + read_only);
  EXPECT_EQ(driver.process().drain_out(300ms), "");

  ASSERT_TRUE(small().remount(/*read_only=*/false));
  driver.admit("second");
  EXPECT_EQ(driver.out(), "feature_admitted=second");
  driver.pack("cities");
  EXPECT_EQ(driver.out(), "feature_pack_stored=" + kPackId);
  EXPECT_EQ(manifest_features(root), (std::vector<std::string>{"first", "second", "geonames"}));
  EXPECT_EQ(ltr_verify(install, root).exit_code, 0);
}

}  // namespace
}  // namespace kio
