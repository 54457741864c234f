// A store in an install root that can be written but not read (mode 0300).
#include <gtest/gtest.h>
#include <unistd.h>

#include "install/persist/persist.h"
#include "tests/install/persist/fixture.h"

namespace kio::install::testing {
namespace {

void hand_over(const fs::path& top) {
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    ASSERT_EQ(::chown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
  }
  ASSERT_EQ(::chown(top.c_str(), 65534, 65534), 0);
}

TEST(UnreadableRoot, StoreOpensAndWritesWhereItCannotListTheRoot) {
  Store s;
  if (::geteuid() == 0) hand_over(s.install);
  ::chmod(s.dir.path().c_str(), 0711);
  ::chmod(s.install.c_str(), 0300);
  // Opening creates the blobs directory in the root, whose entry cannot be
  // flushed through a directory that cannot be opened for reading.
  const int status = test::run_unprivileged([&] {
    auto opened = Persist::open(s.persist, s.key);
    if (!opened) return 1;
    const auto put = opened->put_blob_with_id("01939a3c-6000-7000-8000-000000000001", bytes_of("pack"), true, false);
    return put ? 0 : 2;
  });
  ::chmod(s.install.c_str(), 0700);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::is_directory(s.install / "blobs"));
  EXPECT_EQ(test::read_file(s.install / "blobs" / "01939a3c-6000-7000-8000-000000000001"), "pack");
}

}  // namespace
}  // namespace kio::install::testing
