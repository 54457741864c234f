#include "common/file_io.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "tests/support/test_support.h"

namespace kio {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const fs::path& dir) {
  auto names = list_directory(dir);
  EXPECT_TRUE(names) << names.error();
  std::sort(names->begin(), names->end());
  return *names;
}

TEST(ReplaceFile, WholeFileWithItsModeAndNoLeftovers) {
  test::TempDir dir;
  const fs::path path = dir / "manifest.json";
  test::write_file(path, "old content that is longer");
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(replace_file(path, std::string_view("new"), 0600, /*exact_mode=*/true));
  EXPECT_EQ(test::read_file(path), "new");
  EXPECT_EQ(test::file_mode(path), 0600u);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"manifest.json"});
}

TEST(ReplaceFile, FailureLeavesWhatStoodThereAndNoTemporary) {
  test::TempDir dir;
  // A directory in the way makes the final rename fail.
  const fs::path path = dir / "status.txt";
  fs::create_directory(path);
  test::write_file(path / "inside", "old");
  const auto replaced = replace_file(path, std::string_view("new"), 0644);
  ASSERT_FALSE(replaced);
  EXPECT_EQ(replaced.error(), "Is a directory (os error 21)");
  EXPECT_EQ(test::read_file(path / "inside"), "old");
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"status.txt"});
}

TEST(ReplaceFile, ReplacesALinkInsteadOfWritingThroughIt) {
  test::TempDir dir;
  const fs::path outside = dir / "outside";
  test::write_file(outside, "keep");
  const fs::path path = dir / "peer-endpoint.json";
  fs::create_symlink(outside, path);
  ASSERT_TRUE(replace_file(path, std::string_view("{}"), 0600));
  EXPECT_EQ(test::read_file(outside), "keep");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(test::read_file(path), "{}");
}

// Only the temporary files of the named files, as replace_file names them, are
// removed; anything that merely looks like one stays.
TEST(ReplaceFile, LeftoversOfTheNamedFilesAreRemovedAndNothingElse) {
  test::TempDir dir;
  const struct {
    std::string name;
    bool removed;
  } cases[] = {
      {".a.json.tmp-0123456789abcdef", true},   {".b.txt.tmp-fedcba9876543210", true},
      {".a.json.tmp-0123456789ABCDEF", false},  {".a.json.tmp-0123456789abcde", false},
      {".a.json.tmp-0123456789abcdef0", false}, {".c.json.tmp-0123456789abcdef", false},
      {"a.json.tmp-0123456789abcdef", false},   {".a.json.tmp-0123456789abcdeg", false},
      {"a.json", false},
  };
  for (const auto& c : cases) test::write_file(dir.path() / c.name, "x");
  ::mkdir((dir.path() / ".a.json.tmp-1111111111111111").c_str(), 0700);
  ::symlink("a.json", (dir.path() / ".a.json.tmp-2222222222222222").c_str());
  const std::string names[] = {"a.json", "b.txt"};
  EXPECT_EQ(remove_replace_leftovers(dir.path(), names), 2u);
  for (const auto& c : cases) EXPECT_EQ(std::filesystem::exists(dir.path() / c.name), !c.removed) << c.name;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / ".a.json.tmp-1111111111111111"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / ".a.json.tmp-2222222222222222"));
}

TEST(WriteFile, OptionsForModesLinksAndExclusiveCreation) {
  test::TempDir dir;
  const fs::path path = dir / "blob";
  ASSERT_TRUE(write_file(path, std::string_view("a"), {.mode = 0600, .flush = true, .flush_new_entry = true}));
  EXPECT_EQ(test::file_mode(path), 0600u);
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(write_file(path, std::string_view("bb"), {.mode = 0600, .exact_mode = true}));
  EXPECT_EQ(test::file_mode(path), 0600u);
  EXPECT_EQ(test::read_file(path), "bb");

  const auto again = write_file(path, std::string_view("c"), {.exclusive = true});
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "File exists (os error 17)");
  EXPECT_EQ(test::read_file(path), "bb");

  const fs::path link = dir / "link";
  fs::create_symlink(path, link);
  EXPECT_FALSE(write_file(link, std::string_view("through"), {.follow_links = false}));
  EXPECT_EQ(test::read_file(path), "bb");
}

TEST(MakeDirectories, CreatesAncestorsAndReportsTheFailingMkdir) {
  test::TempDir dir;
  ASSERT_TRUE(make_directories(dir / "a/b/c", /*flush_new_entries=*/true));
  EXPECT_TRUE(is_directory_path(dir / "a/b/c"));
  EXPECT_TRUE(make_directories(dir / "a/b/c"));  // already there
  test::write_file(dir / "file", "x");
  const auto blocked = make_directories(dir / "file");
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), "File exists (os error 17)");
  const auto below = make_directories(dir / "file/sub");
  ASSERT_FALSE(below);
  EXPECT_EQ(below.error(), "Not a directory (os error 20)");
}

TEST(ReadFile, WholeFileAndMissingFile) {
  test::TempDir dir;
  const std::string content(200000, 'z');
  test::write_file(dir / "big", content);
  EXPECT_EQ(read_file(dir / "big").value(), content);
  EXPECT_EQ(read_file(dir / "missing").error(), "No such file or directory (os error 2)");
}

// A caller tells failures apart by their code: each failure of the system
// carries its errno beside the text the user is shown, and a failure that is
// not the system's carries none.
TEST(FileErrors, CarryTheSystemCodeBesideTheirText) {
  test::TempDir dir;
  test::write_file(dir / "file", "x");
  fs::create_directory(dir / "sub");
  struct Case {
    const char* what;
    std::function<Result<void>()> run;
    std::string text;
    std::error_code code;
  };
  const Case cases[] = {
      {"read a missing file", [&]() -> Result<void> {
         auto read = read_file(dir / "missing");
         if (!read) return fail(read.error());
         return {};
       },
       "No such file or directory (os error 2)", std::make_error_code(std::errc::no_such_file_or_directory)},
      {"a directory where a file stands", [&] { return make_directories(dir / "file"); },
       "File exists (os error 17)", std::make_error_code(std::errc::file_exists)},
      {"a directory below a file", [&] { return make_directories(dir / "file/below"); },
       "Not a directory (os error 20)", std::make_error_code(std::errc::not_a_directory)},
      {"replace a directory", [&] { return replace_file(dir / "sub", std::string_view("new"), 0644); },
       "Is a directory (os error 21)", std::make_error_code(std::errc::is_a_directory)},
      {"create over an existing file",
       [&] { return write_file(dir / "file", std::string_view("y"), WriteOptions{.exclusive = true}); },
       "File exists (os error 17)", std::make_error_code(std::errc::file_exists)},
      {"read past the end", [&] {
         auto fd = open_file(dir / "file", O_RDONLY);
         std::uint8_t out[4];
         return read_exact_at(fd->get(), 0, out);
       }, "unexpected end of file", std::error_code()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto failed = c.run();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), c.text);
    EXPECT_EQ(failed.error().code(), c.code);
  }
}

TEST(CopyContents, CopiesEverythingFromTheCurrentOffsets) {
  test::TempDir dir;
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  test::write_file(dir / "in", content);
  auto in = open_file(dir / "in", O_RDONLY);
  auto out = open_file(dir / "out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_TRUE(in && out);
  ASSERT_TRUE(copy_contents(in->get(), out->get()));
  ASSERT_TRUE(out->close());
  EXPECT_EQ(test::read_file(dir / "out"), content);
}

TEST(ListRegularFiles, FilesWithTheirSizesNeitherLinksNorDirectories) {
  test::TempDir dir;
  test::write_file(dir / "in" / "empty", "");
  test::write_file(dir / "in" / "three", "abc");
  test::write_file(dir / "in" / ".hidden", "h");
  test::write_file(dir / "target", "target");
  fs::create_directories(dir / "in" / "sub");
  fs::create_symlink(dir / "target", dir / "in" / "file-link");
  fs::create_directory_symlink(dir / "in" / "sub", dir / "in" / "dir-link");
  fs::create_symlink(dir / "missing", dir / "in" / "dangling");

  auto files = list_regular_files(dir / "in").value();
  std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) { return a.name < b.name; });
  ASSERT_EQ(files.size(), 3u);
  const std::pair<std::string, std::uint64_t> expected[] = {{".hidden", 1}, {"empty", 0}, {"three", 3}};
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i].name, expected[i].first);
    EXPECT_EQ(files[i].size, expected[i].second);
  }
  EXPECT_EQ(list_regular_files(dir / "none").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(list_regular_files(dir / "target").error(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace kio
