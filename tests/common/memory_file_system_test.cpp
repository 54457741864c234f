// The in-memory file system against the operating system's: each behaviour the
// store relies on is run on both, so that a fuzz target or test running in
// memory sees what the disk would show it.
#include "tests/support/memory_file_system.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/file_io.h"
#include "tests/support/test_support.h"

namespace kio {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One file system and a directory of it to work in.
class Place {
 public:
  virtual ~Place() = default;
  virtual FileSystem& files() = 0;
  virtual fs::path dir() const = 0;
};

class DiskPlace : public Place {
 public:
  FileSystem& files() override { return posix_; }
  fs::path dir() const override { return temp_.path(); }

 private:
  PosixFileSystem posix_;
  test::TempDir temp_;
};

class MemoryPlace : public Place {
 public:
  MemoryPlace() {
    if (!memory_.make_directory("/work", 0755)) std::abort();
  }
  FileSystem& files() override { return memory_; }
  fs::path dir() const override { return "/work"; }

 private:
  MemoryFileSystem memory_;
};

// What a case works with: the file system, its directory, and short helpers.
struct Env {
  FileSystem& fs;
  fs::path dir;

  fs::path at(const std::string& name) const { return dir / name; }
  Fd open(const std::string& name, int flags, mode_t mode = 0644) const {
    auto fd = fs.open(at(name), flags, mode);
    EXPECT_TRUE(fd) << name << ": " << fd.error();
    return fd ? std::move(*fd) : Fd();
  }
  void put(const std::string& name, std::string_view content) const {
    Fd fd = open(name, O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(fs.write(fd.get(), as_span(content)).value_or(0), content.size());
  }
  std::string content(int fd) const {
    std::string all;
    for (std::uint64_t offset = 0;;) {
      std::uint8_t block[7];  // small, so that reads come back short
      auto n = fs.read_at(fd, offset, block);
      EXPECT_TRUE(n) << n.error();
      if (!n || *n == 0) return all;
      all.append(reinterpret_cast<const char*>(block), *n);
      offset += *n;
    }
  }
  std::string get(const std::string& name) const {
    Fd fd = open(name, O_RDONLY);
    return content(fd.get());
  }
  struct stat stat(const std::string& name) const {
    auto st = fs.status(at(name), false);
    EXPECT_TRUE(st) << name << ": " << st.error();
    if (!st) return {};
    return *st;
  }
  bool exists(const std::string& name) const { return fs.status(at(name), false).has_value(); }
  std::set<std::string> names(const std::string& name = "") const {
    auto listed = fs.list(name.empty() ? dir : at(name));
    EXPECT_TRUE(listed) << listed.error();
    return listed ? std::set<std::string>(listed->begin(), listed->end()) : std::set<std::string>{};
  }
  void mkdir(const std::string& name) const { EXPECT_TRUE(fs.make_directory(at(name), 0755)) << name; }
  static std::span<const std::uint8_t> as_span(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
  }
};

// The errno a failed result carries; 0 for a success.
template <typename T>
int errno_of(const Result<T>& r) {
  return r ? 0 : r.error().code().value();
}

struct Behaviour {
  const char* name;
  std::function<void(const Env&)> check;
};

const Behaviour kBehaviours[] = {
    {"ExclusiveCreateRefusesAnExistingName",
     [](const Env& e) {
       e.put("a", "x");
       auto again = e.fs.open(e.at("a"), O_WRONLY | O_CREAT | O_EXCL, 0644);
       EXPECT_EQ(errno_of(again), EEXIST);
       EXPECT_EQ(again.error(), "File exists (os error 17)");
       EXPECT_EQ(errno_of(e.fs.open(e.at("missing"), O_RDONLY, 0)), ENOENT);
       EXPECT_EQ(errno_of(e.fs.open(e.at("missing/a"), O_WRONLY | O_CREAT, 0644)), ENOENT);
       EXPECT_EQ(errno_of(e.fs.open(e.at("a/b"), O_WRONLY | O_CREAT, 0644)), ENOTDIR);
     }},
    {"OpenFlagsOnDirectoriesAndFiles",
     [](const Env& e) {
       e.mkdir("d");
       e.put("f", "x");
       EXPECT_EQ(errno_of(e.fs.open(e.at("d"), O_WRONLY, 0)), EISDIR);
       EXPECT_EQ(errno_of(e.fs.open(e.at("d"), O_RDONLY | O_DIRECTORY, 0)), 0);
       EXPECT_EQ(errno_of(e.fs.open(e.at("f"), O_RDONLY | O_DIRECTORY, 0)), ENOTDIR);
       Fd dir = e.open("d", O_RDONLY);
       std::uint8_t byte[1];
       EXPECT_EQ(errno_of(e.fs.read(dir.get(), byte)), EISDIR);
     }},
    {"AccessModeDecidesReadsAndWrites",
     [](const Env& e) {
       e.put("f", "abc");
       Fd reading = e.open("f", O_RDONLY);
       Fd writing = e.open("f", O_WRONLY);
       std::uint8_t byte[1];
       EXPECT_EQ(errno_of(e.fs.write(reading.get(), Env::as_span("z"))), EBADF);
       EXPECT_EQ(errno_of(e.fs.read(writing.get(), byte)), EBADF);
       EXPECT_EQ(errno_of(e.fs.truncate(reading.get(), 0)), EINVAL);
       EXPECT_EQ(e.get("f"), "abc");
     }},
    {"TruncateOnOpenAndAppendWritesAtTheEnd",
     [](const Env& e) {
       e.put("f", "0123456789");
       { Fd cut = e.open("f", O_WRONLY | O_TRUNC); }
       EXPECT_EQ(e.stat("f").st_size, 0);
       e.put("f", "0123456789");
       { Fd cut = e.open("f", O_RDONLY | O_TRUNC); }  // Linux cuts it even so
       EXPECT_EQ(e.stat("f").st_size, 0);
       e.put("f", "abc");
       Fd append = e.open("f", O_WRONLY | O_APPEND);
       Fd other = e.open("f", O_WRONLY);
       ASSERT_TRUE(e.fs.write(other.get(), Env::as_span("ABCDE")));  // grows it under the appender
       ASSERT_TRUE(e.fs.write(append.get(), Env::as_span("+")));
       // A positioned write to a file opened for appending appends as well (Linux).
       ASSERT_TRUE(e.fs.write_at(append.get(), 0, Env::as_span("!")));
       EXPECT_EQ(e.get("f"), "ABCDE+!");
     }},
    {"ReadingPastTheEndAndOffsets",
     [](const Env& e) {
       e.put("f", "hello");
       Fd fd = e.open("f", O_RDWR);
       std::uint8_t out[16];
       EXPECT_EQ(e.fs.read_at(fd.get(), 5, out).value_or(99), 0u);
       EXPECT_EQ(e.fs.read_at(fd.get(), 1000, out).value_or(99), 0u);
       EXPECT_EQ(e.fs.read_at(fd.get(), 3, out).value_or(99), 2u);
       // Positioned reads and writes leave the file's offset where it was.
       ASSERT_TRUE(e.fs.write_at(fd.get(), 1, Env::as_span("E")));
       EXPECT_EQ(e.fs.read(fd.get(), std::span(out, 3)).value_or(99), 3u);
       EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "hEl");
       EXPECT_EQ(e.fs.read(fd.get(), out).value_or(99), 2u);
       EXPECT_EQ(e.fs.read(fd.get(), out).value_or(99), 0u);
       ASSERT_TRUE(e.fs.write(fd.get(), Env::as_span("!")));
       EXPECT_EQ(e.get("f"), "hEllo!");
     }},
    {"WritesPastTheEndLeaveZeros",
     [](const Env& e) {
       Fd fd = e.open("f", O_RDWR | O_CREAT);
       ASSERT_TRUE(e.fs.write_at(fd.get(), 4, Env::as_span("x")));
       EXPECT_EQ(e.get("f"), std::string("\0\0\0\0x", 5));
       ASSERT_TRUE(e.fs.truncate(fd.get(), 7));
       EXPECT_EQ(e.get("f"), std::string("\0\0\0\0x\0\0", 7));
       ASSERT_TRUE(e.fs.truncate(fd.get(), 2));
       EXPECT_EQ(e.stat("f").st_size, 2);
       const iovec parts[] = {{const_cast<char*>("ab"), 2}, {const_cast<char*>("cde"), 3}};
       EXPECT_EQ(e.fs.write_gathered(fd.get(), parts).value_or(0), 5u);  // at the offset, still 0
       EXPECT_EQ(e.get("f"), "abcde");
     }},
    {"RenameOverAFileReplacesIt",
     [](const Env& e) {
       e.put("old", "old");
       e.put("new", "new");
       const ino_t new_inode = e.stat("new").st_ino;
       Fd still_open = e.open("old", O_RDONLY);
       ASSERT_TRUE(e.fs.rename(e.at("new"), e.at("old")));
       EXPECT_EQ(e.get("old"), "new");
       EXPECT_EQ(e.stat("old").st_ino, new_inode);
       EXPECT_FALSE(e.exists("new"));
       EXPECT_EQ(e.content(still_open.get()), "old");  // the replaced file lives while open
       EXPECT_EQ(e.fs.status(still_open.get()).value().st_nlink, 0u);
       ASSERT_TRUE(e.fs.rename(e.at("old"), e.at("old")));  // onto itself: nothing happens
       EXPECT_EQ(e.get("old"), "new");
       EXPECT_EQ(errno_of(e.fs.rename(e.at("gone"), e.at("old"))), ENOENT);
     }},
    {"RenameWithDirectories",
     [](const Env& e) {
       e.mkdir("full");
       e.put("full/f", "x");
       e.mkdir("empty");
       e.mkdir("other");
       e.put("file", "y");
       EXPECT_EQ(errno_of(e.fs.rename(e.at("file"), e.at("empty"))), EISDIR);
       EXPECT_EQ(errno_of(e.fs.rename(e.at("empty"), e.at("file"))), ENOTDIR);
       EXPECT_EQ(errno_of(e.fs.rename(e.at("other"), e.at("full"))), ENOTEMPTY);
       EXPECT_EQ(errno_of(e.fs.rename(e.at("full"), e.at("full/inside"))), EINVAL);
       ASSERT_TRUE(e.fs.rename(e.at("full"), e.at("empty")));  // over an empty directory
       EXPECT_EQ(e.get("empty/f"), "x");
       EXPECT_EQ(e.names(), (std::set<std::string>{"empty", "file", "other"}));
     }},
    {"ExchangeSwapsTwoNames",
     [](const Env& e) {
       e.put("a", "first");
       e.mkdir("b");
       e.put("b/inside", "z");
       ASSERT_TRUE(e.fs.exchange(e.at("a"), e.at("b")));
       EXPECT_EQ(e.get("b"), "first");
       EXPECT_EQ(e.get("a/inside"), "z");
       EXPECT_EQ(errno_of(e.fs.exchange(e.at("a"), e.at("missing"))), ENOENT);
       EXPECT_EQ(e.get("a/inside"), "z");
     }},
    {"HardLinksShareOneFile",
     [](const Env& e) {
       e.put("a", "shared");
       ASSERT_TRUE(e.fs.link(e.at("a"), e.at("b")));
       EXPECT_EQ(e.stat("a").st_ino, e.stat("b").st_ino);
       EXPECT_EQ(e.stat("b").st_nlink, 2u);
       EXPECT_EQ(errno_of(e.fs.link(e.at("a"), e.at("b"))), EEXIST);
       EXPECT_EQ(errno_of(e.fs.link(e.at("missing"), e.at("c"))), ENOENT);
       ASSERT_TRUE(e.fs.unlink(e.at("a")));
       EXPECT_EQ(e.get("b"), "shared");
       EXPECT_EQ(e.stat("b").st_nlink, 1u);
       // Renaming one name of a file onto another name of it changes nothing.
       ASSERT_TRUE(e.fs.link(e.at("b"), e.at("c")));
       ASSERT_TRUE(e.fs.rename(e.at("b"), e.at("c")));
       EXPECT_EQ(e.names(), (std::set<std::string>{"b", "c"}));
     }},
    {"RemovingNames",
     [](const Env& e) {
       e.mkdir("d");
       e.put("d/f", "x");
       EXPECT_EQ(errno_of(e.fs.unlink(e.at("d"))), EISDIR);
       EXPECT_EQ(errno_of(e.fs.remove_directory(e.at("d"))), ENOTEMPTY);
       EXPECT_EQ(errno_of(e.fs.remove_directory(e.at("d/f"))), ENOTDIR);
       EXPECT_EQ(errno_of(e.fs.unlink(e.at("d/missing"))), ENOENT);
       Fd open_file = e.open("d/f", O_RDWR);
       ASSERT_TRUE(e.fs.unlink(e.at("d/f")));
       ASSERT_TRUE(e.fs.write(open_file.get(), Env::as_span("y")));  // an unlinked file stays usable
       EXPECT_EQ(e.content(open_file.get()), "y");
       ASSERT_TRUE(e.fs.remove_directory(e.at("d")));
       EXPECT_TRUE(e.names().empty());
     }},
    {"RemoveTreeTakesEverythingAndMissingIsDone",
     [](const Env& e) {
       e.mkdir("t");
       e.mkdir("t/a");
       e.mkdir("t/a/b");
       e.put("t/a/b/f", "x");
       e.put("t/g", "y");
       e.put("kept", "z");
       ASSERT_TRUE(e.fs.link(e.at("kept"), e.at("t/a/kept")));
       ASSERT_TRUE(e.fs.remove_tree(e.at("t")));
       EXPECT_EQ(e.names(), std::set<std::string>{"kept"});
       EXPECT_EQ(e.stat("kept").st_nlink, 1u);
       EXPECT_TRUE(e.fs.remove_tree(e.at("t")));
       EXPECT_EQ(errno_of(e.fs.remove_tree(e.at("kept/below"))), ENOTDIR);
       ASSERT_TRUE(e.fs.remove_tree(e.at("kept")));  // a file alone
       EXPECT_TRUE(e.names().empty());
     }},
    {"ListingGivesEveryNameInSomeOrder",
     [](const Env& e) {
       for (const char* name : {"b", "a", "c.tmp", ".hidden"}) e.put(name, "");
       e.mkdir("sub");
       EXPECT_EQ(e.names(), (std::set<std::string>{".hidden", "a", "b", "c.tmp", "sub"}));
       EXPECT_TRUE(e.names("sub").empty());
       EXPECT_EQ(errno_of(e.fs.list(e.at("a"))), ENOTDIR);
       EXPECT_EQ(errno_of(e.fs.list(e.at("missing"))), ENOENT);
     }},
    {"MakingDirectories",
     [](const Env& e) {
       e.mkdir("d");
       e.put("f", "");
       EXPECT_EQ(errno_of(e.fs.make_directory(e.at("d"), 0755)), EEXIST);
       EXPECT_EQ(errno_of(e.fs.make_directory(e.at("f"), 0755)), EEXIST);
       EXPECT_EQ(errno_of(e.fs.make_directory(e.at("x/y"), 0755)), ENOENT);
       EXPECT_EQ(errno_of(e.fs.make_directory(e.at("f/y"), 0755)), ENOTDIR);
       EXPECT_TRUE(S_ISDIR(e.stat("d").st_mode));
       // ".." climbs back out of a directory.
       e.put("d/../via-dotdot", "up");
       EXPECT_EQ(e.get("via-dotdot"), "up");
     }},
    {"UniqueNamesAreNewFilesOfMode0600",
     [](const Env& e) {
       std::string first = e.at("spool-XXXXXX").string();
       std::string second = first;
       auto a = e.fs.create_unique(first);
       auto b = e.fs.create_unique(second);
       ASSERT_TRUE(a && b);
       EXPECT_NE(first, second);
       const std::string name = fs::path(first).filename().string();
       EXPECT_EQ(name.size(), 12u);
       EXPECT_EQ(name.substr(0, 6), "spool-");
       EXPECT_NE(name.substr(6), "XXXXXX");  // a random letter may still be an X
       EXPECT_EQ(e.stat(name).st_mode & 07777, 0600u);
       EXPECT_EQ(e.stat(name).st_size, 0);
       ASSERT_TRUE(e.fs.write(a->get(), Env::as_span("r/w")));
       EXPECT_EQ(e.content(a->get()), "r/w");
       std::string bad = e.at("no-placeholder").string();
       EXPECT_EQ(errno_of(e.fs.create_unique(bad)), EINVAL);
     }},
    {"StatusFollowsTheFile",
     [](const Env& e) {
       e.put("f", "12345");
       e.mkdir("d");
       const struct stat before = e.stat("f");
       EXPECT_TRUE(S_ISREG(before.st_mode));
       EXPECT_EQ(before.st_size, 5);
       EXPECT_EQ(before.st_nlink, 1u);
       EXPECT_TRUE(S_ISDIR(e.stat("d").st_mode));
       EXPECT_NE(before.st_ino, e.stat("d").st_ino);
       EXPECT_EQ(before.st_dev, e.stat("d").st_dev);
       std::this_thread::sleep_for(20ms);  // past the disk's timestamp granularity
       Fd fd = e.open("f", O_WRONLY | O_APPEND);
       ASSERT_TRUE(e.fs.write(fd.get(), Env::as_span("6")));
       const struct stat after = e.fs.status(fd.get()).value();
       EXPECT_EQ(after.st_ino, before.st_ino);
       EXPECT_EQ(after.st_size, 6);
       const auto ns = [](const struct timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
       EXPECT_GT(ns(after.st_mtim), ns(before.st_mtim));
       EXPECT_GT(ns(after.st_ctim), ns(before.st_ctim));
       EXPECT_EQ(errno_of(e.fs.status(e.at("missing"), true)), ENOENT);
       EXPECT_EQ(errno_of(e.fs.status(e.at("f/below"), true)), ENOTDIR);
     }},
    {"ModesAreSetExactly",
     [](const Env& e) {
       e.put("f", "");
       ASSERT_TRUE(e.fs.change_mode(e.at("f"), 0640));
       EXPECT_EQ(e.stat("f").st_mode & 07777, 0640u);
       Fd fd = e.open("f", O_RDONLY);
       ASSERT_TRUE(e.fs.change_mode(fd.get(), 0400));
       EXPECT_EQ(e.stat("f").st_mode & 07777, 0400u);
       Fd created = e.open("g", O_WRONLY | O_CREAT | O_EXCL, 0600);
       EXPECT_EQ(e.stat("g").st_mode & 07777, 0600u);
       EXPECT_EQ(errno_of(e.fs.change_mode(e.at("missing"), 0600)), ENOENT);
     }},
    {"OneLockPerFileAndClosingReleasesIt",
     [](const Env& e) {
       e.mkdir("store");
       Fd first = e.open("store", O_RDONLY | O_DIRECTORY);
       Fd second = e.open("store", O_RDONLY | O_DIRECTORY);
       EXPECT_EQ(e.fs.try_lock(first.get()).value_or(false), true);
       EXPECT_EQ(e.fs.try_lock(first.get()).value_or(false), true);  // its own lock again
       EXPECT_EQ(e.fs.try_lock(second.get()).value_or(true), false);
       ASSERT_TRUE(first.close());
       EXPECT_EQ(e.fs.try_lock(second.get()).value_or(false), true);
       ASSERT_TRUE(second.close());
       Fd third = e.open("store", O_RDONLY | O_DIRECTORY);
       EXPECT_EQ(e.fs.try_lock(third.get()).value_or(false), true);
     }},
    {"CopyInTheKernelOrSayItCannot",
     [](const Env& e) {
       e.put("in", "0123456789");
       Fd in = e.open("in", O_RDONLY);
       Fd out = e.open("out", O_WRONLY | O_CREAT);
       std::uint64_t position = 2;
       auto copied = e.fs.copy_chunk(in.get(), &position, out.get(), 5);
       if (!copied) {
         const int err = errno_of(copied);
         EXPECT_TRUE(err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) << copied.error();
         return;
       }
       EXPECT_EQ(*copied, 5u);
       EXPECT_EQ(position, 7u);
       EXPECT_EQ(e.fs.copy_chunk(in.get(), nullptr, out.get(), 100).value_or(0), 10u);  // from its own offset
       EXPECT_EQ(e.fs.copy_chunk(in.get(), nullptr, out.get(), 100).value_or(99), 0u);  // at the end
       EXPECT_EQ(e.get("out"), "234560123456789");
       EXPECT_EQ(errno_of(e.fs.copy_chunk(out.get(), nullptr, in.get(), 1)), EBADF);
     }},
    {"FlushesSucceed",
     [](const Env& e) {
       e.put("f", "x");
       Fd fd = e.open("f", O_RDWR);
       EXPECT_TRUE(e.fs.sync(fd.get()));
       EXPECT_TRUE(e.fs.sync_directory(e.dir));
       e.fs.start_write_back(fd.get(), 0, 0);
       EXPECT_EQ(e.get("f"), "x");
     }},
};

struct Case {
  const Behaviour* behaviour;
  bool in_memory;
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.behaviour->name << (c.in_memory ? " in memory" : " on disk");
}

class FileSystemAgreement : public testing::TestWithParam<Case> {};

TEST_P(FileSystemAgreement, BehavesAsPosix) {
  std::unique_ptr<Place> place;
  if (GetParam().in_memory) {
    place = std::make_unique<MemoryPlace>();
  } else {
    place = std::make_unique<DiskPlace>();
  }
  GetParam().behaviour->check(Env{place->files(), place->dir()});
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const Behaviour& b : kBehaviours) {
    cases.push_back({&b, false});
    cases.push_back({&b, true});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(OnDiskAndInMemory, FileSystemAgreement, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.behaviour->name) + (info.param.in_memory ? "_Memory"
                                                                                                  : "_Disk");
                         });

// Installed as the process's file system, it takes the file layer's calls and
// the disk sees none of them.
TEST(MemoryFileSystem, TakesTheFileLayersCallsWhenInstalled) {
  MemoryFileSystem memory;
  const fs::path dir = "/tmp/kio-memory-file-system-test/deep/er";
  {
    ScopedFileSystem scope(memory);
    ASSERT_TRUE(make_directories(dir));
    ASSERT_TRUE(replace_file(dir / "manifest.json", std::string_view("{}"), 0600, /*exact_mode=*/true));
    EXPECT_EQ(read_file(dir / "manifest.json").value_or(""), "{}");
    auto names = list_directory(dir);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, std::vector<std::string>{"manifest.json"});
  }
  EXPECT_FALSE(fs::exists("/tmp/kio-memory-file-system-test"));
  EXPECT_EQ(memory.status(dir / "manifest.json", true).value().st_mode & 07777, 0600u);
}

// Descriptors are numbers no other open file has, close(2) succeeds on them, and
// the table forgets closed ones, so that a long run does not grow it.
TEST(MemoryFileSystem, DescriptorsCloseCleanlyAndAreForgotten) {
  MemoryFileSystem memory;
  ASSERT_TRUE(memory.open("/f", O_WRONLY | O_CREAT, 0644));
  for (int i = 0; i < 10000; ++i) {
    auto fd = memory.open("/f", O_RDONLY, 0);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(fd->close());
  }
  EXPECT_LE(memory.descriptions(), 2u);
  // Many held at once and then closed are forgotten as the table grows again.
  {
    std::vector<Fd> held;
    for (int i = 0; i < 300; ++i) held.push_back(std::move(memory.open("/f", O_RDONLY, 0).value()));
  }
  for (int i = 0; i < 1000; ++i) {
    std::vector<Fd> held;
    for (int j = 0; j < 3; ++j) held.push_back(std::move(memory.open("/f", O_RDONLY, 0).value()));
  }
  EXPECT_LE(memory.descriptions(), 310u);
  auto held = memory.open("/f", O_RDONLY, 0);
  ASSERT_TRUE(held);
  struct stat st {};
  ASSERT_EQ(::fstat(held->get(), &st), 0);  // the number is the process's own, held for this file
  EXPECT_EQ(errno_of(memory.read(12345678, std::span<std::uint8_t>())), EBADF);
}

// A write or a cut far past the end fails as too large rather than taking its
// whole length in memory.
TEST(MemoryFileSystem, SparseWritesFarOutFailInsteadOfTakingMemory) {
  MemoryFileSystem memory(1 << 20);
  auto fd = memory.open("/f", O_RDWR | O_CREAT, 0644);
  ASSERT_TRUE(fd);
  EXPECT_EQ(errno_of(memory.write_at(fd->get(), std::uint64_t{1} << 40, Env::as_span("x"))), EFBIG);
  EXPECT_EQ(errno_of(memory.truncate(fd->get(), std::uint64_t{1} << 40)), EFBIG);
  EXPECT_EQ(memory.status(fd->get()).value().st_size, 0);
}

}  // namespace
}  // namespace kio
