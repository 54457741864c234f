// The seam between the code that keeps files and the operating system. Every
// file operation of the store, the connector and the stream code goes through
// one FileSystem: one virtual call per operation, never one per byte. The
// production path is the operating system's own calls (the process-wide
// default); a test may install another to watch each operation (which file was
// flushed, which directory's entries) or to fail the nth operation of a kind
// with an errno. Every failure is an error value carrying the operating
// system's text and code ("No such file or directory (os error 2)").
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace kio {

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  ~Fd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the error a close can carry (a failed deferred write).
  Result<void> close();

 private:
  int fd_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // open(2) with O_CLOEXEC added.
  virtual Result<Fd> open(const std::filesystem::path& path, int flags, mode_t mode) = 0;
  // One write at the file's offset (at its end under O_APPEND): how many bytes
  // went. An interrupted call is retried.
  virtual Result<std::size_t> write(int fd, std::span<const std::uint8_t> bytes) = 0;
  // One gathered write of the buffers at the file's offset: how many bytes went.
  virtual Result<std::size_t> write_gathered(int fd, std::span<const iovec> buffers) = 0;
  // One write at `offset`, the file's own offset untouched.
  virtual Result<std::size_t> write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) = 0;
  // One read from the file's offset: how many bytes came (0 at the end).
  virtual Result<std::size_t> read(int fd, std::span<std::uint8_t> out) = 0;
  // One read at `offset`, the file's own offset untouched.
  virtual Result<std::size_t> read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // One in-kernel copy of up to `length` bytes from `in` (at *in_offset, which
  // advances, or at its own offset when none is given) to `out`'s offset. A file
  // system that cannot copy in the kernel fails with EXDEV, EINVAL, ENOSYS or
  // EOPNOTSUPP having copied nothing.
  virtual Result<std::size_t> copy_chunk(int in, std::uint64_t* in_offset, int out, std::size_t length) = 0;
  // Flushes the file's data and metadata to the device (the full flush where the
  // platform has one).
  virtual Result<void> sync(int fd) = 0;
  // Flushes a directory's entries to the device (the empty path is "."). File
  // systems that cannot flush a directory keep their entries durable anyway, and
  // a directory that cannot even be opened for reading is passed over.
  virtual Result<void> sync_directory(const std::filesystem::path& dir) = 0;
  // Starts writing the range back to the device without waiting (a length of 0
  // runs to the file's end); whether it got there is for the next sync to tell.
  virtual void start_write_back(int fd, std::uint64_t offset, std::uint64_t length) = 0;
  // Gives the range's blocks back, the file's size kept (a hole reads as zeros);
  // a file system that cannot leaves the bytes as they are.
  virtual void release_range(int fd, std::uint64_t offset, std::uint64_t length) = 0;
  // Cuts (or extends) the file to `length` bytes.
  virtual Result<void> truncate(int fd, std::uint64_t length) = 0;
  // The status of an open file.
  virtual Result<struct stat> status(int fd) = 0;
  // The status of a path, its link followed or (follow_links false) not.
  virtual Result<struct stat> status(const std::filesystem::path& path, bool follow_links) = 0;
  // Sets the permission bits exactly, of an open file or of a path (links followed).
  virtual Result<void> change_mode(int fd, mode_t mode) = 0;
  virtual Result<void> change_mode(const std::filesystem::path& path, mode_t mode) = 0;
  // Takes the exclusive advisory lock on the open file without waiting: false
  // when another open file description holds it.
  virtual Result<bool> try_lock(int fd) = 0;
  // Renames `from` over `to`.
  virtual Result<void> rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Swaps the two entries in one step; where the file system cannot, fails
  // (EINVAL, ENOSYS, ENOENT when `b` is absent) having changed nothing.
  virtual Result<void> exchange(const std::filesystem::path& a, const std::filesystem::path& b) = 0;
  // A new name `to` for the file `from` names (a link at `from` followed).
  virtual Result<void> link(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // Removes a name that is not a directory / an empty directory.
  virtual Result<void> unlink(const std::filesystem::path& path) = 0;
  virtual Result<void> remove_directory(const std::filesystem::path& path) = 0;
  // Creates a new file (mode 0600) whose name is `path_template` with its last
  // six characters, "XXXXXX", made unique; the name is written back into it.
  virtual Result<Fd> create_unique(std::string& path_template) = 0;
  // Makes one directory.
  virtual Result<void> make_directory(const std::filesystem::path& path, mode_t mode) = 0;
  // Removes the path and everything under it (links not followed); a missing
  // path is success.
  virtual Result<void> remove_tree(const std::filesystem::path& path) = 0;
  // Entry names in listing order, without "." and "..".
  virtual Result<std::vector<std::string>> list(const std::filesystem::path& dir) = 0;
};

// The file system of the operating system (a test may derive from it to watch
// or fail chosen operations).
class PosixFileSystem : public FileSystem {
 public:
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
};

// The file system every caller uses: the operating system's unless a test has
// installed another.
FileSystem& file_system();

// Installs `replacement` as the file system of the whole process for its
// lifetime (tests only; install it before any thread that touches files starts).
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;
  ~ScopedFileSystem();

 private:
  FileSystem* previous_;
};

}  // namespace kio
