// Private files and directories, flushing, whole-file reads and error texts.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/os_error.h"
#include "common/utf8.h"
#include "install/json.h"
#include "install/persist.h"
#include "install/persist_internal.h"

namespace kio::install {

std::string io_error(const std::error_code& ec) { return os_error_text(ec); }
std::string io_error(int err) { return os_error_text(err); }
std::string json_error(const nlohmann::json::exception& e) { return e.what(); }

Result<void> set_dir_private(const std::filesystem::path& dir) {
  if (::chmod(dir.c_str(), 0700) != 0) return fail(last_os_error_text());
  return {};
}

Result<void> write_private(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  if (path.has_parent_path()) {
    if (auto made = detail::create_private_dir(path.parent_path()); !made) return made;
  }
  bool created = true;
  detail::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() && errno == EEXIST) {
    created = false;
    fd = detail::Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  }
  if (!fd.valid()) return fail(last_os_error_text());
  if (::fchmod(fd.get(), 0600) != 0) return fail(last_os_error_text());
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (auto written = detail::write_all(fd.get(), text); !written) return written;
  if (auto synced = detail::sync_fd(fd.get()); !synced) return synced;
  if (auto closed = fd.close(); !closed) return closed;
  if (created) return detail::sync_dir(path.has_parent_path() ? path.parent_path() : std::filesystem::path("."));
  return {};
}

}  // namespace kio::install

namespace kio::install::detail {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

Result<void> Fd::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return fail(last_os_error_text());
  return {};
}

Result<void> sync_fd(int fd) {
#ifdef __APPLE__
  if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd) != 0) return fail(last_os_error_text());
  return {};
}

Result<void> sync_dir(const fs::path& dir) {
  Fd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return fail(last_os_error_text());
  // Some file systems cannot flush a directory; their entries are durable anyway.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return fail(last_os_error_text());
  return {};
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error_text());
    }
    if (n == 0) return fail(os_error_text(EIO));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<void> create_dir_all(const fs::path& dir) {
  if (dir.empty()) return {};
  const auto made = [&]() -> Result<void> {
    return sync_dir(dir.has_parent_path() ? dir.parent_path() : fs::path("."));
  };
  if (::mkdir(dir.c_str(), 0777) == 0) return made();
  if (errno != ENOENT) {
    const int err = errno;
    if (is_dir(dir)) return {};
    return fail(os_error_text(err));
  }
  const fs::path parent = dir.parent_path();
  if (parent == dir) return fail(os_error_text(ENOENT));
  if (auto up = create_dir_all(parent); !up) return up;
  if (::mkdir(dir.c_str(), 0777) == 0) return made();
  const int err = errno;
  if (is_dir(dir)) return {};
  return fail(os_error_text(err));
}

Result<void> create_private_dir(const fs::path& dir) {
  if (auto made = create_dir_all(dir); !made) return made;
  return set_dir_private(dir);
}

Result<void> read_whole_file(const fs::path& path, bool utf8, std::string& content) {
  content.clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(last_os_error_text());
  struct stat st {};
  std::size_t expected = 0;
  if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) expected = static_cast<std::size_t>(st.st_size);
  // Read straight into the buffer; one byte more than the size shows the end
  // without another call, and a file that grew meanwhile is read to its end.
  std::size_t filled = 0;
  content.resize(expected + 1);
  for (;;) {
    if (filled == content.size()) content.resize(content.size() * 2);
    const ssize_t n = ::read(fd.get(), content.data() + filled, content.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      content.clear();
      return fail(os_error_text(err));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  content.resize(filled);
  if (utf8 && !valid_utf8(content)) return fail(std::string(INVALID_UTF8_STREAM));
  return {};
}

Result<std::string> read_whole_file(const fs::path& path, bool utf8) {
  std::string content;
  if (auto read = read_whole_file(path, utf8, content); !read) return std::unexpected(read.error());
  return content;
}

std::optional<struct stat> stat_follow(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st;
}

bool is_plain_file(const fs::path& path) {
  const auto st = stat_follow(path);
  return st && S_ISREG(st->st_mode);
}

bool is_dir(const fs::path& path) {
  const auto st = stat_follow(path);
  return st && S_ISDIR(st->st_mode);
}

int compare_paths(const fs::path& a, const fs::path& b) {
  auto ia = a.begin(), ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    const int c = std::string_view(ia->native()).compare(ib->native());
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (ia == a.end()) return ib == b.end() ? 0 : -1;
  return 1;
}

Result<std::vector<std::string>> list_names(const fs::path& dir) {
  DirHandle d(::opendir(dir.c_str()));
  if (!d) return fail(last_os_error_text());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return fail(last_os_error_text());
      break;
    }
    if (!is_dot_entry(entry->d_name)) names.emplace_back(entry->d_name);
  }
  return names;
}

bool same_path(const fs::path& a, const fs::path& b) { return compare_paths(a, b) == 0; }

bool valid_utf8(std::string_view text) {
  // Store files are almost entirely ASCII: skip eight bytes at a time while no
  // byte has its high bit set, then check the rest properly.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & 0x8080808080808080ULL) != 0) break;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i == text.size() || is_valid_utf8(text.substr(i));
}

std::string envelope_json(const SealedEnvelope& sealed) {
  std::string json = "{\"version\":1,\"nonce_b64\":";
  json::append_json_string(json, sealed.nonce_b64);
  json += ",\"ciphertext_b64\":";
  json::append_json_string(json, sealed.ciphertext_b64);
  json += "}";
  return json;
}

WipeOnExit::~WipeOnExit() { sodium_memzero(s_.data(), s_.size()); }

std::optional<std::string> unwritable_text_error(std::string_view text) {
  if (valid_utf8(text)) return std::nullopt;
  nlohmann::json value = std::string(text);
  std::optional<std::string> message;
  try {
    (void)value.dump();
  } catch (const nlohmann::json::exception& e) {
    message = json_error(e);
  }
  auto& held = value.get_ref<std::string&>();
  sodium_memzero(held.data(), held.size());
  return message ? message : std::optional<std::string>("invalid UTF-8 text");
}

}  // namespace kio::install::detail
