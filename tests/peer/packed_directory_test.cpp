#include "peer/packed_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "install/crypto.h"
#include "p2p/chunking.h"
#include "peer/stream_plan.h"
#include "tests/support/stream_files.h"
#include "tests/support/test_support.h"

namespace kio::peer {
namespace {

const StreamDescription kDescription = {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
                                        "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8",
                                        "bytes",
                                        {{"data.mdb", 3, "ab"}}};

// A directory read from disk as it is sent gives the very messages of the same
// directory packed in memory.
TEST(PackedDirectory, SendsWhatPackingInMemoryWould) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::size_t>> files;  // name, size
    std::size_t frame_size;
  };
  const Case cases[] = {
      {"empty directory", {}, 100},
      {"one empty file", {{"a", 0}}, 100},
      {"records across frames", {{"b", 5000}, {"a", 1}, {"c", 0}, {"d", 2677}}, 1000},
      {"a frame per chunk", {{"x.mdb", 4000}}, p2p::MAX_CHUNK_SIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir tmp;
    std::filesystem::create_directories(tmp / "dir" / "subdir");
    for (const auto& [name, size] : c.files) {
      std::string body(size, '\0');
      for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + name[0]) % 256);
      test::write_file(tmp / "dir" / name, body);
    }
    const auto files = test::read_directory_files(tmp / "dir");
    const Bytes stream = install::pack_files(files);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reported;  // read, total
    auto packed = PackedDirectory::scan(tmp / "dir", [&](std::uint64_t read, std::uint64_t total) {
      reported.emplace_back(read, total);
    });
    ASSERT_TRUE(packed) << packed.error();
    // The progress counts file bytes only, rises, and ends at the files' total.
    std::uint64_t file_bytes = 0;
    for (const auto& [name, size] : c.files) file_bytes += size;
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
    for (const auto& [read, total] : reported) EXPECT_EQ(total, file_bytes);
    if (file_bytes > 0) {
      ASSERT_FALSE(reported.empty());
      EXPECT_EQ(reported.back().first, file_bytes);
    }
    EXPECT_EQ(packed->entries(), test::file_entries(files));
    EXPECT_EQ(packed->sha256(), install::sha256_hex(stream));
    EXPECT_EQ(packed->size(), stream.size());

    const StreamDescription description{kDescription.feature_id, kDescription.blob_id, "bytes", packed->entries()};
    auto from_disk = StreamPlan::create(description, *packed, packed->sha256(), c.frame_size);
    ASSERT_TRUE(from_disk) << from_disk.error();
    const auto in_memory = plan_stream(description, stream, c.frame_size).value();
    std::vector<OutgoingMessage> sent;
    while (auto m = from_disk->next()) sent.push_back(std::move(*m));
    EXPECT_FALSE(from_disk->error());
    EXPECT_EQ(sent, in_memory);
  }
}

TEST(PackedDirectory, AFileThatChangesWhileItIsSentStopsThePlan) {
  test::TempDir tmp;
  test::write_file(tmp / "dir" / "a", std::string(3000, 'a'));
  test::write_file(tmp / "dir" / "b", std::string(3000, 'b'));
  auto packed = PackedDirectory::scan(tmp / "dir");
  ASSERT_TRUE(packed) << packed.error();
  auto plan = StreamPlan::create(kDescription, *packed, packed->sha256(), 2000);
  ASSERT_TRUE(plan);
  test::write_file(tmp / "dir" / "b", "short now");
  std::size_t messages = 0;
  while (plan->next()) ++messages;
  ASSERT_TRUE(plan->error());
  EXPECT_NE(plan->error()->find("changed while it was sent"), std::string::npos) << *plan->error();
  EXPECT_LT(messages, plan->message_count());
  EXPECT_FALSE(plan->next());
}

// Only the directory's own regular files are sent: not its subdirectories, not
// links (to a file, to a directory, or dangling); a directory that cannot be
// listed fails with the system's error.
TEST(PackedDirectory, SendsOnlyTheRegularFilesItself) {
  namespace fs = std::filesystem;
  test::TempDir tmp;
  test::write_file(tmp / "dir" / "b", "bb");
  test::write_file(tmp / "dir" / "a", "a");
  test::write_file(tmp / "outside", "outside");
  fs::create_directories(tmp / "dir" / "subdir");
  test::write_file(tmp / "dir" / "subdir" / "inner", "inner");
  fs::create_symlink(tmp / "outside", tmp / "dir" / "file-link");
  fs::create_directory_symlink(tmp / "dir" / "subdir", tmp / "dir" / "dir-link");
  fs::create_symlink(tmp / "missing", tmp / "dir" / "dangling");

  const std::vector<install::NamedFile> expected{{"a", Bytes{'a'}}, {"b", Bytes{'b', 'b'}}};
  EXPECT_EQ(test::read_directory_files(tmp / "dir"), expected);
  std::uint64_t total = 0;
  const auto packed = PackedDirectory::scan(tmp / "dir", [&](std::uint64_t, std::uint64_t all) { total = all; });
  ASSERT_TRUE(packed) << packed.error();
  EXPECT_EQ(packed->entries(), test::file_entries(expected));
  EXPECT_EQ(total, 3u);

  EXPECT_EQ(PackedDirectory::scan(tmp / "none").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(PackedDirectory::scan(tmp / "outside").error(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace kio::peer
