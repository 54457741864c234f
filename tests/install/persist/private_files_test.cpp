// The store's private files and directories.
#include <gtest/gtest.h>

#include "install/persist/private_files.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

TEST(PrivateFiles, WritePrivateCreatesTruncatesAndNarrows) {
  test::TempDir dir;
  const fs::path file = dir / "a" / "b" / "f";
  ASSERT_TRUE(write_private(file, bytes_of("first, longer content")));
  EXPECT_EQ(test::file_mode(dir / "a" / "b"), 0700u);
  EXPECT_EQ(test::file_mode(file), 0600u);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_TRUE(write_private(file, bytes_of("second")));
  EXPECT_EQ(test::read_file(file), "second");
  EXPECT_EQ(test::file_mode(file), 0600u);

  auto into_dir = write_private(dir / "a", bytes_of("x"));
  ASSERT_FALSE(into_dir);
  EXPECT_EQ(into_dir.error(), "Is a directory (os error 21)");

  fs::permissions(dir / "a", fs::perms::all);
  ASSERT_TRUE(set_dir_private(dir / "a"));
  EXPECT_EQ(test::file_mode(dir / "a"), 0700u);
  EXPECT_EQ(set_dir_private(dir / "nothing").error(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace kio::install
