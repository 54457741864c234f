// A whole file system kept in memory, for tests and fuzz targets that want the
// store's files without the disk: install it with ScopedFileSystem and every
// file operation of the code under test lands here instead.
//
// It behaves as the operating system's does for everything the interface
// offers (open flags, offsets, appends, holes, hard links, renames over files
// and empty directories, the exchange of two names, mkstemp's names, advisory
// locks per open file description) and fails with the errno POSIX gives, as
// "<text> (os error N)". Permission bits are kept and reported but not
// enforced, as for the superuser; there are no symbolic links. Paths that do
// not start with "/" are taken from the root. Entries list in name order.
//
// Descriptors. Fd closes its number with close(2), which no file system can
// watch, and a failed close is reported as a failed write. So each open file
// description here is given the number of a real descriptor: a duplicate of
// one anonymous in-memory file the file system holds. The number never
// collides with another descriptor of the process, Fd's close succeeds, and
// the file system learns of the close when the kernel hands the same number
// out again (or when it finds the number no longer names that anonymous file):
// then the description's lock is released and an unlinked file's bytes are
// freed; the table is swept for closed numbers whenever it has doubled, so it
// holds at most about twice as many descriptions as were ever open at once. A
// fuzz target still makes a fresh file system per input, so that nothing of
// one input outlives it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/file_system.h"

namespace kio {

class MemoryFileSystem : public FileSystem {
 public:
  // `max_file_size`: a write or truncation past it fails with EFBIG (a sparse
  // file far out would otherwise take its whole length in memory).
  explicit MemoryFileSystem(std::uint64_t max_file_size = std::uint64_t{1} << 30);
  ~MemoryFileSystem() override;
  MemoryFileSystem(const MemoryFileSystem&) = delete;
  MemoryFileSystem& operator=(const MemoryFileSystem&) = delete;

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

  // How many open file descriptions the table holds (closed ones not yet
  // noticed included).
  std::size_t descriptions();

 private:
  struct Node;
  struct Description;
  struct Resolved;

  Result<Resolved> resolve(const std::filesystem::path& path) const;
  Result<std::shared_ptr<Node>> existing(const std::filesystem::path& path) const;
  Result<std::shared_ptr<Description>> described(int fd) const;
  std::shared_ptr<Node> new_node(bool directory, mode_t mode);
  Result<Fd> open_node(const std::shared_ptr<Node>& node, int flags);
  bool still_open(int fd) const;
  void forget(int fd);
  void sweep();
  Result<std::size_t> write_node(Description& d, std::uint64_t offset, std::span<const std::uint8_t> bytes,
                                 bool advance);
  struct timespec now();
  struct stat stat_of(const Node& node) const;
  void detach(Node& parent, const std::string& name);

  std::mutex mutex_;
  std::shared_ptr<Node> root_;
  std::unordered_map<int, std::shared_ptr<Description>> open_;
  std::size_t sweep_at_ = 64;
  int anchor_ = -1;  // the anonymous file whose duplicates are the descriptors
  dev_t anchor_device_ = 0;
  ino_t anchor_inode_ = 0;
  dev_t device_ = 0;
  ino_t next_inode_ = 2;
  std::uint64_t next_description_ = 1;
  std::uint64_t unique_counter_ = 0;
  std::uint64_t max_file_size_;
  mode_t umask_ = 022;
  struct timespec last_time_ {};
};

}  // namespace kio
