#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "common/file_system.h"
#include "common/os_error.h"

namespace fs = std::filesystem;

namespace kio {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> Fd::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return fail(last_os_error());
  return {};
}

namespace {

// A call's result (-1 with errno on failure), retried while interrupted.
template <typename Call>
Result<std::size_t> counted(Call call) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail(last_os_error());
  }
}

Result<void> done(int status) {
  if (status != 0) return fail(last_os_error());
  return {};
}

}  // namespace

Result<Fd> PosixFileSystem::open(const fs::path& path, int flags, mode_t mode) {
  Fd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
  if (!fd.valid()) return fail(last_os_error());
  return fd;
}

Result<std::size_t> PosixFileSystem::write(int fd, std::span<const std::uint8_t> bytes) {
  return counted([&] { return ::write(fd, bytes.data(), bytes.size()); });
}

Result<std::size_t> PosixFileSystem::write_gathered(int fd, std::span<const iovec> buffers) {
  return counted([&] { return ::writev(fd, buffers.data(), static_cast<int>(buffers.size())); });
}

Result<std::size_t> PosixFileSystem::write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  return counted([&] { return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
}

Result<std::size_t> PosixFileSystem::read(int fd, std::span<std::uint8_t> out) {
  return counted([&] { return ::read(fd, out.data(), out.size()); });
}

Result<std::size_t> PosixFileSystem::read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  return counted([&] { return ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset)); });
}

Result<std::size_t> PosixFileSystem::copy_chunk(int in, std::uint64_t* in_offset, int out, std::size_t length) {
  off_t position = in_offset != nullptr ? static_cast<off_t>(*in_offset) : 0;
  auto copied = counted(
      [&] { return ::copy_file_range(in, in_offset != nullptr ? &position : nullptr, out, nullptr, length, 0); });
  if (in_offset != nullptr) *in_offset = static_cast<std::uint64_t>(position);
  return copied;
}

Result<void> PosixFileSystem::sync(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  return done(::fsync(fd));
}

Result<void> PosixFileSystem::sync_directory(const fs::path& dir) {
  // A directory that can be written but not read (mode 0300) cannot be opened
  // for flushing at all; the entry made in it stands, so the operation that made
  // it has not failed.
  const Fd held(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!held.valid()) return {};
  if (::fsync(held.get()) != 0 && errno != EINVAL) return fail(last_os_error());
  return {};
}

void PosixFileSystem::start_write_back(int fd, std::uint64_t offset, std::uint64_t length) {
  (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
}

void PosixFileSystem::release_range(int fd, std::uint64_t offset, std::uint64_t length) {
  (void)::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length));
}

Result<void> PosixFileSystem::truncate(int fd, std::uint64_t length) {
  return done(::ftruncate(fd, static_cast<off_t>(length)));
}

Result<struct stat> PosixFileSystem::status(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(last_os_error());
  return st;
}

Result<struct stat> PosixFileSystem::status(const fs::path& path, bool follow_links) {
  struct stat st {};
  if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return fail(last_os_error());
  return st;
}

Result<void> PosixFileSystem::change_mode(int fd, mode_t mode) { return done(::fchmod(fd, mode)); }

Result<void> PosixFileSystem::change_mode(const fs::path& path, mode_t mode) {
  return done(::chmod(path.c_str(), mode));
}

Result<bool> PosixFileSystem::try_lock(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) return fail(last_os_error());
  }
}

Result<void> PosixFileSystem::rename(const fs::path& from, const fs::path& to) {
  return done(::rename(from.c_str(), to.c_str()));
}

Result<void> PosixFileSystem::exchange(const fs::path& a, const fs::path& b) {
  return done(::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
}

Result<void> PosixFileSystem::link(const fs::path& from, const fs::path& to) {
  return done(::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW));
}

Result<void> PosixFileSystem::unlink(const fs::path& path) { return done(::unlink(path.c_str())); }

Result<void> PosixFileSystem::remove_directory(const fs::path& path) { return done(::rmdir(path.c_str())); }

Result<Fd> PosixFileSystem::create_unique(std::string& path_template) {
  Fd fd(::mkostemp(path_template.data(), O_CLOEXEC));
  if (!fd.valid()) return fail(last_os_error());
  return fd;
}

Result<void> PosixFileSystem::make_directory(const fs::path& path, mode_t mode) {
  return done(::mkdir(path.c_str(), mode));
}

Result<void> PosixFileSystem::remove_tree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return fail(os_error(ec));
  return {};
}

Result<std::vector<std::string>> PosixFileSystem::list(const fs::path& dir) {
  struct Closer {
    void operator()(DIR* d) const { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
  if (!d) return fail(last_os_error());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return fail(last_os_error());
      break;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

namespace {

PosixFileSystem& posix_file_system() {
  static PosixFileSystem instance;
  return instance;
}

std::atomic<FileSystem*>& current_file_system() {
  static std::atomic<FileSystem*> current{&posix_file_system()};
  return current;
}

}  // namespace

FileSystem& file_system() { return *current_file_system().load(std::memory_order_acquire); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement)
    : previous_(current_file_system().exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedFileSystem::~ScopedFileSystem() { current_file_system().store(previous_, std::memory_order_release); }

}  // namespace kio
