// Bytes read by offset from wherever they are kept: the packed records a sender
// sends and a receiver unpacks, in memory, in a file, or made up as they are read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "common/file_io.h"
#include "common/result.h"

namespace kio::install {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Fills `out` with the bytes at `offset` (out.size() bytes, within size()).
  virtual Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // Writes `length` bytes at `offset` (within size()) to `fd`; by default read
  // block by block.
  virtual Result<void> write_to(std::uint64_t offset, std::uint64_t length, int fd);
};

// Bytes in memory, which must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_to(std::uint64_t offset, std::uint64_t length, int fd) override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// The bytes of a file, as long as it was when opened; written out by copies
// inside the kernel where the file systems allow, so that they do not pass
// through this process's memory.
class FileSource final : public ByteSource {
 public:
  static Result<FileSource> open(const std::filesystem::path& path);
  std::uint64_t size() const override { return size_; }
  Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override;
  Result<void> write_to(std::uint64_t offset, std::uint64_t length, int fd) override;

 private:
  FileSource(Fd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}

  Fd fd_;
  std::uint64_t size_;
};

}  // namespace kio::install
