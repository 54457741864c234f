#include "peer/packed_directory.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/file_io.h"
#include "common/file_system.h"
#include "install/crypto.h"

namespace kio::peer {

namespace fs = std::filesystem;

kio::Result<PackedDirectory> PackedDirectory::scan(const fs::path& dir, const ScanProgress& progress) {
  auto files = list_regular_files(dir);
  if (!files) return kio::fail(files.error());
  std::vector<std::pair<std::string, fs::path>> found;
  std::uint64_t listed = 0;  // the files' sizes as listed, for the progress only
  for (auto& entry : *files) {
    listed += entry.size;
    found.emplace_back(entry.name, dir / entry.name);
  }
  std::sort(found.begin(), found.end());

  PackedDirectory packed;
  install::Sha256 stream_sha;
  install::Sha256 file_sha;
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  std::uint64_t read_so_far = 0;
  // One pass: the body length comes from the file's status, so that the header
  // can enter the stream digest before the body; a file whose length then
  // disagrees with what was read changed meanwhile.
  for (auto& [name, path] : found) {
    auto fd = open_file(path, O_RDONLY);
    if (!fd) return kio::fail("cannot read " + path.string() + ": " + fd.error());
    auto st = file_system().status(fd->get());
    if (!st) return kio::fail("cannot read " + path.string() + ": " + st.error().message());
    File file{path, packed.size_, {}, static_cast<std::uint64_t>(st->st_size)};
    install::append_record_header(file.header, name, file.body_size);
    stream_sha.update(file.header);
    std::uint64_t read = 0;
    for (;;) {
      auto n = file_system().read(fd->get(), block);
      if (!n) return kio::fail("cannot read " + path.string() + ": " + n.error().message());
      if (*n == 0) break;
      const std::span<const std::uint8_t> piece(block.data(), *n);
      file_sha.update(piece);
      stream_sha.update(piece);
      read += piece.size();
      read_so_far += piece.size();
      if (progress) progress(read_so_far, std::max(listed, read_so_far));
    }
    if (read != file.body_size) return kio::fail(path.string() + " changed while it was read");
    packed.entries_.push_back({name, file.body_size, file_sha.finish_hex()});
    packed.size_ += file.header.size() + file.body_size;
    packed.files_.push_back(std::move(file));
  }
  packed.sha256_ = stream_sha.finish_hex();
  return packed;
}

kio::Result<void> PackedDirectory::read_body(std::size_t index, std::uint64_t offset, std::span<std::uint8_t> out) {
  const File& file = files_[index];
  if (open_index_ != index) {
    auto fd = open_file(file.path, O_RDONLY);
    if (!fd) return kio::fail("cannot read " + file.path.string() + ": " + fd.error());
    open_fd_ = std::move(*fd);
    open_index_ = index;
  }
  if (auto got = read_exact_at(open_fd_.get(), offset, out); !got) {
    return kio::fail(file.path.string() + " changed while it was sent: " + got.error());
  }
  return {};
}

kio::Result<void> PackedDirectory::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  // The last file whose record starts at or before the offset.
  auto it = std::upper_bound(files_.begin(), files_.end(), offset,
                             [](std::uint64_t value, const File& file) { return value < file.start; });
  std::size_t index = static_cast<std::size_t>(it - files_.begin()) - 1;
  std::size_t filled = 0;
  while (filled < out.size()) {
    const File& file = files_[index];
    const std::uint64_t within = offset + filled - file.start;
    if (within < file.header.size()) {
      const std::size_t take = std::min<std::size_t>(out.size() - filled, file.header.size() - within);
      std::memcpy(out.data() + filled, file.header.data() + within, take);
      filled += take;
    } else if (within < file.header.size() + file.body_size) {
      const std::uint64_t body_offset = within - file.header.size();
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - filled, file.body_size - body_offset));
      if (auto got = read_body(index, body_offset, out.subspan(filled, take)); !got) return got;
      filled += take;
    } else {
      ++index;
    }
  }
  return {};
}

}  // namespace kio::peer
