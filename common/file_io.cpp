#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>

#include "common/bytes.h"
#include "common/os_error.h"
#include "common/sodium_ready.h"

namespace fs = std::filesystem;

namespace kio {

Result<Fd> open_file(const fs::path& path, int flags, mode_t mode) { return file_system().open(path, flags, mode); }

Result<void> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    // Linux moves at most about 2 GiB per call.
    const std::size_t step = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    auto n = file_system().write(fd, bytes.first(step));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return fail(os_error(EIO));
    bytes = bytes.subspan(*n);
  }
  return {};
}

Result<void> write_all(int fd, std::string_view bytes) { return write_all(fd, as_bytes(bytes)); }

Result<void> write_all_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t step = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    auto n = file_system().write_at(fd, offset, bytes.first(step));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return fail(os_error(EIO));
    bytes = bytes.subspan(*n);
    offset += *n;
  }
  return {};
}

Result<void> flush_to_device(int fd) { return file_system().sync(fd); }

fs::path parent_directory(const fs::path& path) { return path.has_parent_path() ? path.parent_path() : fs::path("."); }

Result<void> flush_directory(const fs::path& dir) { return file_system().sync_directory(dir); }

Result<void> read_file(const fs::path& path, std::string& content) {
  content.clear();
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  FileSystem& files = file_system();
  std::size_t expected = 0;
  if (const auto st = files.status(fd->get()); st && st->st_size > 0) expected = static_cast<std::size_t>(st->st_size);
  // Read straight into the buffer; one byte more than the size shows the end
  // without another call, and a file that grew meanwhile is read to its end.
  std::size_t filled = 0;
  content.resize(expected + 1);
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    auto n = files.read(fd->get(), std::span(reinterpret_cast<std::uint8_t*>(content.data()) + filled,
                                             content.size() - filled));
    if (!n) {
      content.clear();
      return std::unexpected(std::move(n.error()));
    }
    if (*n == 0) break;
    filled += *n;
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
  FileSystem& files = file_system();
  const int base = O_WRONLY | O_CREAT | (options.follow_links ? 0 : O_NOFOLLOW);
  bool created = true;
  auto opened = files.open(path, base | O_EXCL, options.mode);
  if (!opened && opened.error().is(std::errc::file_exists) && !options.exclusive) {
    created = false;
    opened = files.open(path, base | O_TRUNC, options.mode);
  }
  if (!opened) return std::unexpected(std::move(opened.error()));
  Fd fd = std::move(*opened);
  if (options.exact_mode) {
    if (auto set = files.change_mode(fd.get(), options.mode); !set) return set;
  }
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
  FileSystem& files = file_system();
  const fs::path dir = parent_directory(path);
  fs::path temporary;
  Fd fd;
  for (int attempt = 0; attempt < 16 && !fd.valid(); ++attempt) {
    std::uint8_t tag[8];
    randombytes_buf(tag, sizeof tag);
    temporary = dir / ("." + path.filename().native() + ".tmp-" + hex_encode(tag));
    auto opened = files.open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (opened) {
      fd = std::move(*opened);
    } else if (!opened.error().is(std::errc::file_exists)) {
      return std::unexpected(std::move(opened.error()));
    }
  }
  if (!fd.valid()) return fail(os_error(EEXIST));
  const auto abandon = [&](Error error) -> Result<void> {
    (void)files.unlink(temporary);
    return fail(std::move(error));
  };
  if (exact_mode) {
    if (auto set = files.change_mode(fd.get(), mode); !set) return abandon(set.error());
  }
  if (auto written = write_all(fd.get(), bytes); !written) return abandon(written.error());
  if (auto flushed = flush_to_device(fd.get()); !flushed) return abandon(flushed.error());
  if (auto closed = fd.close(); !closed) return abandon(closed.error());
  if (auto renamed = files.rename(temporary, path); !renamed) return abandon(renamed.error());
  return files.sync_directory(dir);
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
  FileSystem& files = file_system();
  auto entries = files.list(dir);
  if (!entries) return 0;
  std::size_t removed = 0;
  for (const std::string& entry : *entries) {
    if (std::none_of(names.begin(), names.end(),
                     [&](const std::string& name) { return is_replace_temporary(entry, name); })) {
      continue;
    }
    const fs::path path = dir / entry;
    const auto st = files.status(path, /*follow_links=*/false);
    if (!st || !S_ISREG(st->st_mode)) continue;
    if (files.unlink(path)) ++removed;
  }
  if (removed != 0) (void)files.sync_directory(dir);
  return removed;
}

Result<void> make_directories(const fs::path& dir, bool flush_new_entries) {
  if (dir.empty()) return {};
  FileSystem& files = file_system();
  const auto made = [&]() -> Result<void> {
    if (!flush_new_entries) return {};
    return files.sync_directory(parent_directory(dir));
  };
  auto mkdir = files.make_directory(dir, 0777);
  if (mkdir) return made();
  if (mkdir.error().is(std::errc::no_such_file_or_directory)) {
    const fs::path parent = dir.parent_path();
    if (parent.empty() || parent == dir) return mkdir;
    if (auto up = make_directories(parent, flush_new_entries); !up) return up;
    mkdir = files.make_directory(dir, 0777);
    if (mkdir) return made();
  }
  // Also when another process made it meanwhile.
  if (is_directory_path(dir)) return {};
  return mkdir;
}

Result<void> change_mode(const fs::path& path, mode_t mode) { return file_system().change_mode(path, mode); }

Result<std::vector<std::string>> list_directory(const fs::path& dir) { return file_system().list(dir); }

Result<std::vector<FileEntry>> list_regular_files(const fs::path& dir) {
  FileSystem& system = file_system();
  auto names = system.list(dir);
  if (!names) return std::unexpected(names.error());
  std::vector<FileEntry> files;
  for (std::string& name : *names) {
    const auto st = system.status(dir / name, /*follow_links=*/false);
    if (!st || !S_ISREG(st->st_mode)) continue;
    files.push_back(FileEntry{std::move(name), static_cast<std::uint64_t>(st->st_size)});
  }
  return files;
}

namespace {

// Whether an in-kernel copy failed only because the file systems cannot copy in
// the kernel (having copied nothing).
bool copy_unsupported(const Error& error) {
  return error.is(std::errc::cross_device_link) || error.is(std::errc::invalid_argument) ||
         error.is(std::errc::function_not_supported) || error.is(std::errc::operation_not_supported);
}

}  // namespace

Result<void> copy_contents(int in, int out) {
  FileSystem& files = file_system();
  bool in_kernel = true;
  for (;;) {
    if (in_kernel) {
      auto n = files.copy_chunk(in, nullptr, out, std::size_t{1} << 30);
      if (n && *n > 0) continue;
      if (n) return {};
      if (!copy_unsupported(n.error())) return std::unexpected(std::move(n.error()));
      in_kernel = false;  // the failed call copied nothing; go on through user space
    }
    std::uint8_t block[65536];
    auto n = files.read(in, block);
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return {};
    if (auto written = write_all(out, std::span<const std::uint8_t>(block, *n)); !written) return written;
  }
}

namespace {
constexpr const char* kUnexpectedEnd = "unexpected end of file";
}  // namespace

Result<void> copy_range(int in, std::uint64_t offset, std::uint64_t length, int out) {
  FileSystem& files = file_system();
  bool in_kernel = true;
  std::uint64_t position = offset;
  std::vector<std::uint8_t> block;
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30));
    if (in_kernel) {
      auto n = files.copy_chunk(in, &position, out, want);
      if (n && *n > 0) {
        length -= *n;
        continue;
      }
      if (n) return fail(kUnexpectedEnd);
      if (!copy_unsupported(n.error())) return std::unexpected(std::move(n.error()));
      in_kernel = false;  // the failed call copied nothing; go on through user space
      block.resize(65536);
    }
    auto n = files.read_at(in, position, std::span(block.data(), std::min(block.size(), want)));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return fail(kUnexpectedEnd);
    if (auto written = write_all(out, std::span<const std::uint8_t>(block.data(), *n)); !written) return written;
    position += *n;
    length -= *n;
  }
  return {};
}

Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  FileSystem& files = file_system();
  std::size_t filled = 0;
  while (filled < out.size()) {
    auto n = files.read_at(fd, offset + filled, out.subspan(filled));
    if (!n) return std::unexpected(std::move(n.error()));
    if (*n == 0) return fail(kUnexpectedEnd);
    filled += *n;
  }
  return {};
}

FileStamp stamp_of(const struct stat& st) {
  const auto ns = [](const timespec& t) { return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
  return FileStamp{st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

std::optional<struct stat> stat_path(const fs::path& path) {
  auto st = file_system().status(path, /*follow_links=*/true);
  if (!st) return std::nullopt;
  return *st;
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
