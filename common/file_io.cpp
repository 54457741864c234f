#include "common/file_io.h"

#include <fcntl.h>
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

}  // namespace kio
