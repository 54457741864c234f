// A file system for durability tests: the real one, watched. It keeps a model
// of the tree under one root (taken from the disk when it is made, all of it
// counted as durable), and mirrors every change the code makes there: the
// writes of each file not yet flushed, and the directory changes (create,
// rename, exchange, link, unlink, make and remove directory) whose directory
// has not been flushed since.
//
// `cut_at(k)`: from the kth change to the disk on (a write, a flush, a rename,
// ...), the power is gone: that operation and every later one fails with EIO
// and changes nothing. `power_cut(seed)` then rewrites the tree as a disk could
// hold it after the cut: each unflushed write kept whole, kept in part or
// dropped, each unflushed directory change kept or undone. Seed 0 loses
// everything unflushed, seed 1 keeps all of it, any other seed draws.
//
// `fail(op, nth, errno)`: the nth operation of that kind from now fails with the
// errno, changing nothing; the ones before and after it succeed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/file_system.h"

namespace kio::test {

enum class FsOp {
  open,
  write,  // every kind of write, the in-kernel copy too
  read,
  sync,
  sync_directory,
  truncate,
  status,
  change_mode,
  lock,
  rename,
  exchange,
  link,
  unlink,
  remove_directory,
  create_unique,
  make_directory,
  remove_tree,
  list,
};
const char* op_name(FsOp op);

class FaultFileSystem : public PosixFileSystem {
 public:
  explicit FaultFileSystem(std::filesystem::path root);

  // The power goes at the kth change (1-based) counted from now.
  void cut_at(std::size_t k);
  bool cut_happened() const;
  // Changes made so far (operations that write, flush or change a directory).
  std::size_t changes() const;
  // The nth operation of `op` (1-based) counted from now fails with `error`.
  void fail(FsOp op, std::size_t nth, int error);
  bool failed() const;
  // Operations of each kind so far.
  std::size_t count(FsOp op) const;

  // Rewrites the tree under the root as it stands after the cut (see above).
  // May be called again with another seed: it starts from the model each time.
  void power_cut(std::uint64_t seed);

  Result<Fd> open(const std::filesystem::path& path, int flags, mode_t mode) override;
  Result<std::size_t> write(int fd, std::span<const std::uint8_t> bytes) override;
  Result<std::size_t> write_gathered(int fd, std::span<const iovec> buffers) override;
  Result<std::size_t> write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) override;
  Result<std::size_t> read(int fd, std::span<std::uint8_t> out) override;
  Result<std::size_t> read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<std::size_t> copy_chunk(int in, std::uint64_t* in_offset, int out, std::size_t length) override;
  Result<void> sync(int fd) override;
  Result<void> sync_directory(const std::filesystem::path& dir) override;
  void start_write_back(int fd, std::uint64_t offset, std::uint64_t length) override;
  void release_range(int fd, std::uint64_t offset, std::uint64_t length) override;
  Result<void> truncate(int fd, std::uint64_t length) override;
  Result<struct stat> status(int fd) override;
  Result<struct stat> status(const std::filesystem::path& path, bool follow_links) override;
  Result<void> change_mode(int fd, mode_t mode) override;
  Result<void> change_mode(const std::filesystem::path& path, mode_t mode) override;
  Result<bool> try_lock(int fd) override;
  Result<void> rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<void> exchange(const std::filesystem::path& a, const std::filesystem::path& b) override;
  Result<void> link(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<void> unlink(const std::filesystem::path& path) override;
  Result<void> remove_directory(const std::filesystem::path& path) override;
  Result<Fd> create_unique(std::string& path_template) override;
  Result<void> make_directory(const std::filesystem::path& path, mode_t mode) override;
  Result<void> remove_tree(const std::filesystem::path& path) override;
  Result<std::vector<std::string>> list(const std::filesystem::path& dir) override;

 private:
  // A change to a file's bytes not yet flushed: bytes at an offset, or a new length.
  struct Write {
    std::uint64_t offset = 0;
    std::string bytes;
    bool truncate = false;
  };
  using Entries = std::map<std::string, std::size_t>;  // name -> node
  struct Node {
    bool directory = false;
    mode_t mode = 0;
    std::string durable;          // the bytes as last flushed
    std::vector<Write> pending;   // since then, in order
    Entries entries;              // a directory's entries as they stand now
  };
  // One change to directory entries, naming the nodes it moves, as a real file
  // system's inodes: a renamed directory keeps what it holds.
  struct DirChange {
    enum Kind { add, remove, rename, exchange } kind;
    std::size_t dir_a = 0;
    std::string name_a;
    std::size_t dir_b = 0;
    std::string name_b;
    std::size_t node_a = 0;           // the node added, removed or renamed; for an exchange, the one at a
    std::size_t node_b = 0;           // for an exchange, the one at b
    std::set<std::size_t> unflushed;  // directories whose flush it waits for
  };

  // The step every operation takes first: the errno to fail with, when the
  // power is gone or this operation is the one to fail.
  std::optional<int> enter(FsOp op, bool changes_disk);
  // The directory node holding `path`'s entry, and the entry's name (nothing
  // outside the root or under a directory the model does not know).
  std::optional<std::pair<std::size_t, std::string>> place_of(const std::filesystem::path& path) const;
  std::optional<std::size_t> node_at(const std::filesystem::path& path) const;
  std::size_t node_of_fd(int fd);
  std::size_t add_node(bool directory, mode_t mode, std::string durable);
  void record_write(int fd, std::uint64_t offset, std::string bytes, bool truncate = false);
  // Applies the change to the live entries and logs it.
  void record_change(DirChange change);
  static void apply(std::vector<Entries>& entries, const DirChange& change);
  static void apply_write(std::string& content, const Write& write);

  std::filesystem::path root_;
  mutable std::mutex mutex_;
  std::vector<Node> nodes_;
  std::vector<Entries> initial_;  // every directory's entries when watching began
  std::vector<DirChange> changes_log_;
  std::map<std::pair<dev_t, ino_t>, std::size_t> by_inode_;
  std::map<int, std::size_t> by_fd_;

  std::size_t changes_ = 0;
  std::size_t cut_at_ = 0;  // 0: never
  bool cut_ = false;
  std::map<FsOp, std::size_t> counts_;
  std::optional<FsOp> fail_op_;
  std::size_t fail_at_ = 0;
  int fail_errno_ = 0;
  bool failed_ = false;
};

}  // namespace kio::test
