// The regular files of a directory as the packed stream a peer sends, read from
// disk only as it is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/file_io.h"
#include "install/byte_source.h"
#include "common/result.h"
#include "install/stream_format.h"

namespace kio::peer {

// The regular files directly inside a directory, sorted by name (byte order),
// as the stream that packs them (install::pack_files), read from disk only as it
// is sent, so that memory does not grow with the directory. scan() reads every
// file once to compute its digest and the stream's; a file that changes size
// afterwards makes read() fail.
class PackedDirectory final : public install::ByteSource {
 public:
  // Told, after each block read, how many file bytes were read so far and how
  // many the files held when the directory was listed.
  using ScanProgress = std::function<void(std::uint64_t read, std::uint64_t total)>;

  static kio::Result<PackedDirectory> scan(const std::filesystem::path& dir, const ScanProgress& progress = {});

  const std::vector<install::FileStreamEntry>& entries() const { return entries_; }
  const std::string& sha256() const { return sha256_; }
  std::uint64_t size() const override { return size_; }
  kio::Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override;

 private:
  struct File {
    std::filesystem::path path;
    std::uint64_t start = 0;  // offset of its record in the stream
    Bytes header;             // name length, name, body length
    std::uint64_t body_size = 0;
  };
  kio::Result<void> read_body(std::size_t file, std::uint64_t offset, std::span<std::uint8_t> out);

  std::vector<File> files_;
  std::vector<install::FileStreamEntry> entries_;
  std::string sha256_;
  std::uint64_t size_ = 0;
  std::size_t open_index_ = SIZE_MAX;  // the file whose descriptor is open
  Fd open_fd_;
};

}  // namespace kio::peer
