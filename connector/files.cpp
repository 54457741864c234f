#include "connector/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/os_error.h"

namespace kio::connector {

using install::fail;

Result<std::string> read_whole_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(last_os_error_text());
  std::string out;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(os_error_text(err));
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

Result<void> write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(last_os_error_text());
  std::size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + off, bytes.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(os_error_text(err));
    }
    off += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return fail(last_os_error_text());
  return {};
}

Result<void> set_mode(const std::filesystem::path& path, unsigned mode) {
  if (::chmod(path.c_str(), mode) != 0) return fail(last_os_error_text());
  return {};
}

}  // namespace kio::connector
