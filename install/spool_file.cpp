#include "install/spool_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "common/os_error.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSpoolPrefix = ".spool-";
// Write-back of the spool is started every this many bytes, so that the flush at
// landing finds little left to write.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;

}  // namespace

Result<SpoolFile> SpoolFile::create(const fs::path& dir) {
  const fs::path base = dir.empty() ? fs::temp_directory_path() : dir;
  std::string path = (base / (std::string(kSpoolPrefix) + "XXXXXX")).string();
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return fail(last_os_error_text());
  return SpoolFile(fs::path(path), Fd(fd));
}

SpoolFile::SpoolFile(SpoolFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      size_(other.size_),
      written_back_(other.written_back_),
      owned_(std::exchange(other.owned_, false)) {}

SpoolFile& SpoolFile::operator=(SpoolFile&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
    size_ = other.size_;
    written_back_ = other.written_back_;
    owned_ = std::exchange(other.owned_, false);
  }
  return *this;
}

SpoolFile::~SpoolFile() { remove(); }

void SpoolFile::remove() {
  if (owned_) ::unlink(path_.c_str());
  owned_ = false;
}

Result<void> SpoolFile::append(std::span<const std::span<const std::uint8_t>> pieces) {
  constexpr std::size_t kMaxIov = 1024;
  std::vector<iovec> iov;
  iov.reserve(std::min(pieces.size(), kMaxIov));
  std::size_t next = 0;
  while (next < pieces.size()) {
    iov.clear();
    for (; next < pieces.size() && iov.size() < kMaxIov; ++next) {
      if (pieces[next].empty()) continue;
      iov.push_back({const_cast<std::uint8_t*>(pieces[next].data()), pieces[next].size()});
    }
    std::size_t first = 0;
    while (first < iov.size()) {
      const ssize_t n = ::writev(fd_.get(), iov.data() + first, static_cast<int>(iov.size() - first));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(last_os_error_text());
      }
      size_ += static_cast<std::uint64_t>(n);
      // Skip what was written, also within a piece cut short.
      auto done = static_cast<std::size_t>(n);
      while (first < iov.size() && done >= iov[first].iov_len) done -= iov[first++].iov_len;
      if (first < iov.size()) {
        iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + done;
        iov[first].iov_len -= done;
      }
    }
  }
  if (size_ - written_back_ >= kWriteBackStep) {
    // Only starts the write-back; failures show up at the flush.
    (void)::sync_file_range(fd_.get(), static_cast<off_t>(written_back_), static_cast<off_t>(size_ - written_back_),
                            SYNC_FILE_RANGE_WRITE);
    written_back_ = size_;
  }
  return {};
}

Result<void> SpoolFile::move_to(const fs::path& destination) {
  if (::rename(path_.c_str(), destination.c_str()) != 0) return fail(last_os_error_text());
  path_ = destination;
  owned_ = false;
  return {};
}

Result<void> SpoolFile::flush() { return flush_to_device(fd_.get()); }

void SpoolFile::remove_leftovers(const fs::path& dir) {
  auto names = list_directory(dir);
  if (!names) return;
  for (const auto& name : *names) {
    if (name.starts_with(kSpoolPrefix)) ::unlink((dir / name).c_str());
  }
}

}  // namespace kio::install
