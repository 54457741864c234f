#include "install/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/os_error.h"

namespace kio::install {

Result<void> ByteSource::write_to(std::uint64_t offset, std::uint64_t length, int fd) {
  std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 20)));
  while (length > 0) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(length, block.size()));
    const std::span<std::uint8_t> piece(block.data(), take);
    if (auto got = read(offset, piece); !got) return got;
    if (auto written = write_all(fd, std::span<const std::uint8_t>(piece)); !written) return written;
    offset += take;
    length -= take;
  }
  return {};
}

Result<void> MemorySource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());  // empty input has no data
  return {};
}

Result<void> MemorySource::write_to(std::uint64_t offset, std::uint64_t length, int fd) {
  return write_all(fd, bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
}

Result<FileSource> FileSource::open(const std::filesystem::path& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return fail(std::move(fd.error()));
  auto st = file_system().status(fd->get());
  if (!st) return fail(std::move(st.error()));
  return FileSource(std::move(*fd), static_cast<std::uint64_t>(st->st_size));
}

Result<void> FileSource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  return read_exact_at(fd_.get(), offset, out);
}

Result<void> FileSource::write_to(std::uint64_t offset, std::uint64_t length, int fd) {
  return copy_range(fd_.get(), offset, length, fd);
}

}  // namespace kio::install
