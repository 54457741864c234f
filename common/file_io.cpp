#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kio {

int write_all(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const std::size_t step = std::min<std::size_t>(bytes.size() - written, std::size_t{1} << 30);
    const ssize_t n = ::write(fd, bytes.data() + written, step);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

int flush_to_device(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd) == 0 ? 0 : errno;
}

int write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, bool flush,
               int extra_open_flags, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | extra_open_flags, mode);
  if (fd < 0) return errno;
  int err = write_all(fd, bytes);
  if (err == 0 && flush) err = flush_to_device(fd);
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  return err;
}

namespace {
bool is_dir(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

int make_directories(const std::filesystem::path& path) {
  if (path.empty() || is_dir(path)) return 0;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
      if (const int parent_err = make_directories(parent); parent_err != 0) return parent_err;
      if (::mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  // Another process may have made it meanwhile.
  return is_dir(path) ? 0 : err;
}

}  // namespace kio
