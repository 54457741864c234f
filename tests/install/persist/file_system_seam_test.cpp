// The store reaches the disk only through the installed file system: what it
// flushes, and in which order, is seen there, and a failure made there comes
// back to the caller with the system's text and leaves nothing behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/file_system.h"
#include "common/os_error.h"
#include "install/persist/ltr_writer.h"
#include "tests/support/test_support.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;

// Records the operations that decide durability, naming paths below `root`; a
// temporary file's random tag is left out. Renames fail with `rename_errno`
// when it is set.
class RecordingFileSystem : public PosixFileSystem {
 public:
  explicit RecordingFileSystem(fs::path root) : root_(std::move(root)) {}

  std::vector<std::string> log;
  int rename_errno = 0;

  Result<Fd> open(const fs::path& path, int flags, mode_t mode) override {
    auto fd = PosixFileSystem::open(path, flags, mode);
    if (fd) names_[fd->get()] = name(path);
    return fd;
  }
  Result<void> sync(int fd) override {
    log.push_back("sync " + names_[fd]);
    return PosixFileSystem::sync(fd);
  }
  Result<void> sync_directory(const fs::path& dir) override {
    log.push_back("sync-dir " + name(dir));
    return PosixFileSystem::sync_directory(dir);
  }
  Result<void> truncate(int fd, std::uint64_t length) override {
    log.push_back("truncate " + names_[fd] + " " + std::to_string(length));
    return PosixFileSystem::truncate(fd, length);
  }
  Result<void> rename(const fs::path& from, const fs::path& to) override {
    log.push_back("rename " + name(from) + " " + name(to));
    if (rename_errno != 0) return fail(os_error(rename_errno));
    return PosixFileSystem::rename(from, to);
  }

 private:
  std::string name(const fs::path& path) const {
    std::string text = path.lexically_relative(root_).string();
    if (const auto tag = text.find(".tmp-"); tag != std::string::npos) text.resize(tag + 4);
    return text;
  }

  fs::path root_;
  std::map<int, std::string> names_;
};

struct DurabilityCase {
  const char* what;
  const char* existing;  // the segment's bytes before, or none
  std::function<Result<void>(const fs::path& root)> act;
  std::vector<std::string> expected;
};

TEST(FileSystemSeam, StoreWritesReachTheDeviceInOrder) {
  const auto append = [](std::string_view line) {
    return [line](const fs::path& root) -> Result<void> {
      if (auto appended = append_segment_line(root / "ltr" / "s.jsonl", line); !appended) {
        return std::unexpected(appended.error());
      }
      return {};
    };
  };
  const std::vector<DurabilityCase> cases = {
      {"a new segment has its entry flushed after its bytes", nullptr, append("{}\n"),
       {"sync ltr/s.jsonl", "sync-dir ltr"}},
      {"an existing segment needs no entry flush", "{}\n", append("{}\n"), {"sync ltr/s.jsonl"}},
      {"a torn line is cut off and the cut flushed", "{}\n{", [](const fs::path& root) -> Result<void> {
         if (auto cut = cut_back(root / "ltr" / "s.jsonl", 3); !cut) return std::unexpected(cut.error());
         return {};
       },
       {"truncate ltr/s.jsonl 3", "sync ltr/s.jsonl"}},
      {"a replaced file is flushed before the rename, its directory after", nullptr,
       [](const fs::path& root) { return replace_file(root / "ltr" / "m.json", "{}", 0600); },
       {"sync ltr/.m.json.tmp", "rename ltr/.m.json.tmp ltr/m.json", "sync-dir ltr"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    fs::create_directory(dir.path() / "ltr");
    if (c.existing != nullptr) test::write_file(dir.path() / "ltr" / "s.jsonl", c.existing);
    RecordingFileSystem recorder(dir.path());
    const ScopedFileSystem installed(recorder);
    ASSERT_TRUE(c.act(dir.path()));
    EXPECT_EQ(recorder.log, c.expected);
  }
}

TEST(FileSystemSeam, FailedRenameKeepsTheOldFileAndLeavesNoTemporary) {
  test::TempDir dir;
  test::write_file(dir / "m.json", "old");
  RecordingFileSystem recorder(dir.path());
  recorder.rename_errno = EIO;
  {
    const ScopedFileSystem installed(recorder);
    const auto replaced = replace_file(dir / "m.json", "new", 0600);
    ASSERT_FALSE(replaced);
    EXPECT_EQ(replaced.error().message(), os_error_text(EIO));
  }
  EXPECT_EQ(test::read_file(dir / "m.json"), "old");
  EXPECT_EQ(test::names_in(dir.path()), std::vector<std::string>{"m.json"});
}

}  // namespace
}  // namespace kio::install
