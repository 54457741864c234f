// What several fuzz targets share: a file system in memory of their own, made
// fresh for each input, and an install store to fuzz against.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "common/file_io.h"
#include "common/file_system.h"
#include "common/secret.h"
#include "install/persist/identity.h"
#include "tests/support/memory_file_system.h"

namespace kio::fuzz {

// An empty file system in memory, installed as the process's for the lifetime
// of one input: the disk is never touched, no file outlives the input, and a
// run of millions of inputs does not grow. Declare it before anything that
// holds files, so that it goes last.
class MemoryDisk {
 public:
  MemoryDisk() : installed_(files_) {}

 private:
  MemoryFileSystem files_;
  ScopedFileSystem installed_;
};

// Every path below `dir` (not `dir` itself), depth first, with its status.
inline void walk(const std::filesystem::path& dir,
                 const std::function<void(const std::filesystem::path&, const struct stat&)>& visit) {
  auto names = list_directory(dir);
  if (!names) return;
  for (const std::string& name : *names) {
    const std::filesystem::path path = dir / name;
    auto st = file_system().status(path, false);
    if (!st) std::abort();
    visit(path, *st);
    if (S_ISDIR(st->st_mode)) walk(path, visit);
  }
}

// The wrap key of the store vectors (bytes 0..31), so that their segment is a
// valid seed for the log's targets.
inline SecretKey store_key() {
  std::uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes, 32));
}

// "/persist" holding an identity sealed under store_key(), in the file system
// of the moment.
inline std::filesystem::path store_root() {
  const std::filesystem::path root = "/persist";
  if (!make_directories(root)) std::abort();
  if (!install::write_identity(root, store_key(),
                               install::InstallIdentity{"ada", "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71"})) {
    std::abort();
  }
  return root;
}

// Writes the bytes as the whole file (created or cut), or adds them at its end.
inline void write_bytes(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size,
                        bool append = false) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0644);
  if (!fd || !write_all(fd->get(), std::span<const std::uint8_t>(data, size))) std::abort();
}

}  // namespace kio::fuzz
