// The file a received stream's bytes are kept in as they arrive.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <utility>

#include "common/file_io.h"
#include "common/result.h"

namespace kio::install {

// A file holding a stream's bytes as they arrive, named ".spool-" and a unique
// tag in the directory it was made in (the blobs root, so that landing can
// rename it into place). It is removed when dropped, unless it was moved.
// Errors are the system's texts.
class SpoolFile {
 public:
  static Result<SpoolFile> create(const std::filesystem::path& dir);
  SpoolFile(SpoolFile&& other) noexcept;
  SpoolFile& operator=(SpoolFile&& other) noexcept;
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;
  ~SpoolFile();

  const std::filesystem::path& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  // Appends the pieces in order with as few system calls as it can.
  Result<void> append(std::span<const std::span<const std::uint8_t>> pieces);
  // Renames the file to `destination` (on the same file system); from then on it
  // is no longer removed when dropped.
  Result<void> move_to(const std::filesystem::path& destination);
  // Flushes the bytes to the device (their write-back was started as they came).
  Result<void> flush();

  // Every leftover spool file in `dir`, and every directory a stream's files
  // were written into as they arrived (".incoming-spool-<tag>"): neither has a
  // use after a restart.
  static void remove_leftovers(const std::filesystem::path& dir);

 private:
  SpoolFile(std::filesystem::path path, Fd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  void remove();

  std::filesystem::path path_;
  Fd fd_;
  std::uint64_t size_ = 0;
  std::uint64_t written_back_ = 0;  // bytes whose write-back was started
  bool owned_ = true;
};

}  // namespace kio::install
