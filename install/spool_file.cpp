#include "install/spool_file.h"

#include <sys/uio.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace kio::install {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSpoolPrefix = ".spool-";
// The directory a stream's files are written into as they arrive, named after its spool.
constexpr std::string_view kUnpackedPrefix = ".incoming-spool-";
// Write-back of the spool is started every this many bytes, so that the flush at
// landing finds little left to write.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;

}  // namespace

Result<SpoolFile> SpoolFile::create(const fs::path& dir) {
  const fs::path base = dir.empty() ? fs::temp_directory_path() : dir;
  std::string path = (base / (std::string(kSpoolPrefix) + "XXXXXX")).string();
  auto fd = file_system().create_unique(path);  // mode 0600
  if (!fd) return std::unexpected(fd.error());
  return SpoolFile(fs::path(path), std::move(*fd));
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
  if (owned_) (void)file_system().unlink(path_);
  owned_ = false;
}

Result<void> SpoolFile::append(std::span<const std::span<const std::uint8_t>> pieces) {
  FileSystem& files = file_system();
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
      auto n = files.write_gathered(fd_.get(), std::span(iov).subspan(first));
      if (!n) return std::unexpected(n.error());
      size_ += *n;
      // Skip what was written, also within a piece cut short.
      std::size_t done = *n;
      while (first < iov.size() && done >= iov[first].iov_len) done -= iov[first++].iov_len;
      if (first < iov.size()) {
        iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + done;
        iov[first].iov_len -= done;
      }
    }
  }
  if (size_ - written_back_ >= kWriteBackStep) {
    // Only starts the write-back; failures show up at the flush.
    files.start_write_back(fd_.get(), written_back_, size_ - written_back_);
    written_back_ = size_;
  }
  return {};
}

Result<void> SpoolFile::move_to(const fs::path& destination) {
  if (auto renamed = file_system().rename(path_, destination); !renamed) return renamed;
  path_ = destination;
  owned_ = false;
  return {};
}

Result<void> SpoolFile::flush() { return flush_to_device(fd_.get()); }

void SpoolFile::remove_leftovers(const fs::path& dir) {
  FileSystem& files = file_system();
  auto names = files.list(dir);
  if (!names) return;
  for (const auto& name : *names) {
    if (name.starts_with(kSpoolPrefix)) (void)files.unlink(dir / name);
    if (name.starts_with(kUnpackedPrefix)) (void)files.remove_tree(dir / name);
  }
}

}  // namespace kio::install
