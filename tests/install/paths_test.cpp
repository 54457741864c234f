#include "install/paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::install {
namespace {

// Sets HOME for one test and puts the old value back afterwards.
class ScopedHome {
 public:
  explicit ScopedHome(const char* value) {
    if (const char* old = std::getenv("HOME")) old_ = old;
    if (value) ::setenv("HOME", value, 1);
    else ::unsetenv("HOME");
  }
  ~ScopedHome() {
    if (old_) ::setenv("HOME", old_->c_str(), 1);
    else ::unsetenv("HOME");
  }

 private:
  std::optional<std::string> old_;
};

TEST(Paths, ProductAndParticipantsRoots) {
  {
    ScopedHome home("/home/u");
    EXPECT_EQ(product_root().value(), fs::path("/home/u/Library/Application Support/Marrowlark"));
    EXPECT_EQ(participants_root().value(), fs::path("/home/u/Library/Application Support/Marrowlark/test/participants"));
  }
  {
    ScopedHome home("");
    EXPECT_EQ(product_root().value(), fs::path("Library/Application Support/Marrowlark"));
  }
  {
    ScopedHome home(nullptr);
    EXPECT_EQ(product_root().error(), "HOME is not set");
    EXPECT_EQ(list_participant_roots().error(), "HOME is not set");
  }
  {
    ScopedHome home("/home/\xff");
    EXPECT_EQ(participants_root().error(), "HOME is not set");
  }
}

TEST(Paths, ListsParticipantDirectoriesInPathOrder) {
  test::TempDir home;
  ScopedHome scoped(home.path().c_str());
  EXPECT_TRUE(list_participant_roots().value().empty());  // no participants directory yet

  const fs::path parts = home.path() / "Library/Application Support/Marrowlark/test/participants";
  for (const char* name : {"b", "a0", "a", ".hidden"}) fs::create_directories(parts / name);
  test::write_file(parts / "file", "not a directory");
  fs::create_directory(home / "elsewhere");
  fs::create_directory_symlink(home / "elsewhere", parts / "link");
  fs::create_symlink(home / "missing", parts / "broken");

  const std::vector<fs::path> expected{parts / ".hidden", parts / "a", parts / "a0", parts / "b", parts / "link"};
  EXPECT_EQ(list_participant_roots().value(), expected);
}

TEST(Paths, StoreRelativePaths) {
  EXPECT_EQ(persist_root("/i"), fs::path("/i/persist"));
  EXPECT_EQ(long_term_persist_root("/i"), fs::path("/i/persist"));
  EXPECT_EQ(blobs_root("/i/persist"), fs::path("/i/blobs"));
  EXPECT_EQ(blobs_root("persist"), fs::path("blobs"));
  EXPECT_EQ(blobs_root("/"), fs::path("/blobs"));
  EXPECT_EQ(blobs_root(""), fs::path("blobs"));
  // A trailing separator or "." does not make the persist directory its own parent.
  EXPECT_EQ(blobs_root("/i/persist/").string(), "/i/blobs");
  EXPECT_EQ(blobs_root("/i/persist/.").string(), "/i/blobs");
  EXPECT_EQ(blobs_root("persist/").string(), "blobs");
  EXPECT_EQ(blobs_root("/.").string(), "/blobs");
  EXPECT_EQ(peer_endpoint_path("rel"), fs::path("rel/peer-endpoint.json"));
  // Peers, tools and the product read these by name.
  EXPECT_EQ(features_manifest_path("/i"), fs::path("/i/features-manifest.json"));
  EXPECT_EQ(blob_landed_path("/i"), fs::path("/i/blob-landed.txt"));
  EXPECT_EQ(blob_land_error_path("/i"), fs::path("/i/blob-land-error.txt"));
}

TEST(Paths, ChoosesTheGivenRootElseTheFirstParticipant) {
  test::TempDir home;
  {
    // A given root is taken verbatim, without looking at HOME.
    ScopedHome no_home(nullptr);
    EXPECT_EQ(choose_install_root(fs::path("")).value(), fs::path(""));
    EXPECT_EQ(choose_install_root(fs::path("rel/./x/")).value(), fs::path("rel/./x/"));
    EXPECT_EQ(choose_install_root(std::nullopt).error(), "HOME is not set");
  }
  ScopedHome scoped(home.path().c_str());
  EXPECT_EQ(choose_install_root(std::nullopt).error(), "no participants under test/participants");
  const fs::path parts = home.path() / "Library/Application Support/Marrowlark/test/participants";
  for (const char* name : {"b", "a"}) fs::create_directories(parts / name);
  EXPECT_EQ(choose_install_root(std::nullopt).value(), parts / "a");
}

TEST(Paths, InstallRootIsSetOnceEvenUnderRace) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([i] { set_this_install_root("/root" + std::to_string(i)); });
  for (auto& t : threads) t.join();
  const auto first = this_install_root();
  ASSERT_TRUE(first.has_value());
  set_this_install_root("/other");
  EXPECT_EQ(this_install_root(), first);
}

}  // namespace
}  // namespace kio::install
