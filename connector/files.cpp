#include "connector/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_io.h"
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

Result<void> write_whole_file(const std::filesystem::path& path, std::string_view bytes, bool flush) {
  const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (const int err = write_file(path, data, flush); err != 0) return fail(os_error_text(err));
  return {};
}

Result<void> set_mode(const std::filesystem::path& path, unsigned mode) {
  if (::chmod(path.c_str(), mode) != 0) return fail(last_os_error_text());
  return {};
}

}  // namespace kio::connector
