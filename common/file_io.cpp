#include "common/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "common/bytes.h"
#include "common/os_error.h"
#include "common/sodium_ready.h"

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

Result<Fd> open_file(const fs::path& path, int flags, mode_t mode) {
  Fd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
  if (!fd.valid()) return fail(last_os_error());
  return fd;
}

Result<void> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    // Linux moves at most about 2 GiB per call.
    const std::size_t step = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    const ssize_t n = ::write(fd, bytes.data(), step);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (n == 0) return fail(os_error(EIO));
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> write_all(int fd, std::string_view bytes) { return write_all(fd, as_bytes(bytes)); }

Result<void> flush_to_device(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd) != 0) return fail(last_os_error());
  return {};
}

fs::path parent_directory(const fs::path& path) { return path.has_parent_path() ? path.parent_path() : fs::path("."); }

Result<void> flush_directory(const fs::path& dir) {
  // A directory that can be written but not read (mode 0300) cannot be opened
  // for flushing at all; the entry made in it stands, so the operation that made
  // it has not failed.
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {};
  const Fd held(fd);
  if (::fsync(held.get()) != 0 && errno != EINVAL) return fail(last_os_error());
  return {};
}

Result<void> read_file(const fs::path& path, std::string& content) {
  content.clear();
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  struct stat st {};
  std::size_t expected = 0;
  if (::fstat(fd->get(), &st) == 0 && st.st_size > 0) expected = static_cast<std::size_t>(st.st_size);
  // Read straight into the buffer; one byte more than the size shows the end
  // without another call, and a file that grew meanwhile is read to its end.
  std::size_t filled = 0;
  content.resize(expected + 1);
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(fd->get(), content.data() + filled, content.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      content.clear();
      return fail(os_error(err));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  content.resize(filled);
  return {};
}

Result<std::string> read_file(const fs::path& path) {
  std::string content;
  if (auto read = read_file(path, content); !read) return std::unexpected(read.error());
  return content;
}

Result<void> write_file(const fs::path& path, std::span<const std::uint8_t> bytes, const WriteOptions& options) {
  const int base = O_WRONLY | O_CREAT | (options.follow_links ? 0 : O_NOFOLLOW);
  bool created = true;
  Fd fd(::open(path.c_str(), base | O_EXCL | O_CLOEXEC, options.mode));
  if (!fd.valid() && errno == EEXIST && !options.exclusive) {
    created = false;
    fd = Fd(::open(path.c_str(), base | O_TRUNC | O_CLOEXEC, options.mode));
  }
  if (!fd.valid()) return fail(last_os_error());
  if (options.exact_mode && ::fchmod(fd.get(), options.mode) != 0) return fail(last_os_error());
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (options.flush) {
    if (auto flushed = flush_to_device(fd.get()); !flushed) return flushed;
  }
  if (auto closed = fd.close(); !closed) return closed;
  if (created && options.flush_new_entry) return flush_directory(parent_directory(path));
  return {};
}

Result<void> replace_file(const fs::path& path, std::span<const std::uint8_t> bytes, mode_t mode, bool exact_mode) {
  sodium_ready();
  const fs::path dir = parent_directory(path);
  fs::path temporary;
  Fd fd;
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    std::uint8_t tag[8];
    randombytes_buf(tag, sizeof tag);
    temporary = dir / ("." + path.filename().native() + ".tmp-" + hex_encode(tag));
    fd = Fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid() && errno != EEXIST) return fail(last_os_error());
  }
  if (!fd.valid()) return fail(os_error(EEXIST));
  const auto abandon = [&](Error error) -> Result<void> {
    ::unlink(temporary.c_str());
    return fail(std::move(error));
  };
  if (exact_mode && ::fchmod(fd.get(), mode) != 0) return abandon(last_os_error());
  if (auto written = write_all(fd.get(), bytes); !written) return abandon(written.error());
  if (auto flushed = flush_to_device(fd.get()); !flushed) return abandon(flushed.error());
  if (auto closed = fd.close(); !closed) return abandon(closed.error());
  if (::rename(temporary.c_str(), path.c_str()) != 0) return abandon(last_os_error());
  return flush_directory(dir);
}

namespace {

// Whether `entry` is the name replace_file gives a temporary file of `name`.
bool is_replace_temporary(std::string_view entry, std::string_view name) {
  static constexpr std::string_view marker = ".tmp-";
  if (!entry.starts_with('.')) return false;
  entry.remove_prefix(1);
  if (!entry.starts_with(name)) return false;
  entry.remove_prefix(name.size());
  if (!entry.starts_with(marker)) return false;
  entry.remove_prefix(marker.size());
  return entry.size() == 16 &&
         std::all_of(entry.begin(), entry.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::size_t remove_replace_leftovers(const fs::path& given, std::span<const std::string> names) {
  const fs::path dir = given.empty() ? fs::path(".") : given;
  auto entries = list_directory(dir);
  if (!entries) return 0;
  std::size_t removed = 0;
  for (const std::string& entry : *entries) {
    if (std::none_of(names.begin(), names.end(),
                     [&](const std::string& name) { return is_replace_temporary(entry, name); })) {
      continue;
    }
    const fs::path path = dir / entry;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) ++removed;
  }
  if (removed != 0) (void)flush_directory(dir);
  return removed;
}

Result<void> make_directories(const fs::path& dir, bool flush_new_entries) {
  if (dir.empty()) return {};
  const auto made = [&]() -> Result<void> {
    if (!flush_new_entries) return {};
    return flush_directory(parent_directory(dir));
  };
  if (::mkdir(dir.c_str(), 0777) == 0) return made();
  int err = errno;
  if (err == ENOENT) {
    const fs::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) return fail(os_error(err));
    if (auto up = make_directories(parent, flush_new_entries); !up) return up;
    if (::mkdir(dir.c_str(), 0777) == 0) return made();
    err = errno;
  }
  // Also when another process made it meanwhile.
  if (is_directory_path(dir)) return {};
  return fail(os_error(err));
}

Result<void> change_mode(const fs::path& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) return fail(last_os_error());
  return {};
}

Result<std::vector<std::string>> list_directory(const fs::path& dir) {
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

Result<std::vector<FileEntry>> list_regular_files(const fs::path& dir) {
  auto names = list_directory(dir);
  if (!names) return std::unexpected(names.error());
  std::vector<FileEntry> files;
  for (std::string& name : *names) {
    struct stat st {};
    if (::lstat((dir / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    files.push_back(FileEntry{std::move(name), static_cast<std::uint64_t>(st.st_size)});
  }
  return files;
}

Result<void> copy_contents(int in, int out) {
  bool in_kernel = true;
  for (;;) {
    if (in_kernel) {
      const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
      if (n > 0) continue;
      if (n == 0) return {};
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return fail(last_os_error());
      in_kernel = false;  // the failed call copied nothing; go on through user space
    }
    std::uint8_t block[65536];
    const ssize_t n = ::read(in, block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (n == 0) return {};
    if (auto written = write_all(out, std::span<const std::uint8_t>(block, static_cast<std::size_t>(n))); !written) {
      return written;
    }
  }
}

namespace {
constexpr const char* kUnexpectedEnd = "unexpected end of file";
}  // namespace

Result<void> copy_range(int in, std::uint64_t offset, std::uint64_t length, int out) {
  bool in_kernel = true;
  auto position = static_cast<off_t>(offset);
  std::vector<std::uint8_t> block;
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30));
    if (in_kernel) {
      const ssize_t n = ::copy_file_range(in, &position, out, nullptr, want, 0);
      if (n > 0) {
        length -= static_cast<std::uint64_t>(n);
        continue;
      }
      if (n == 0) return fail(kUnexpectedEnd);
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return fail(last_os_error());
      in_kernel = false;  // the failed call copied nothing; go on through user space
      block.resize(65536);
    }
    const ssize_t n = ::pread(in, block.data(), std::min(block.size(), want), position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (n == 0) return fail(kUnexpectedEnd);
    if (auto written = write_all(out, std::span<const std::uint8_t>(block.data(), static_cast<std::size_t>(n)));
        !written) {
      return written;
    }
    position += n;
    length -= static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::pread(fd, out.data() + filled, out.size() - filled, static_cast<off_t>(offset + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    if (n == 0) return fail(kUnexpectedEnd);
    filled += static_cast<std::size_t>(n);
  }
  return {};
}

FileStamp stamp_of(const struct stat& st) {
  const auto ns = [](const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
  return FileStamp{st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

std::optional<struct stat> stat_path(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

bool is_regular_path(const fs::path& path) {
  const auto st = stat_path(path);
  return st && S_ISREG(st->st_mode);
}

bool is_directory_path(const fs::path& path) {
  const auto st = stat_path(path);
  return st && S_ISDIR(st->st_mode);
}

}  // namespace kio
