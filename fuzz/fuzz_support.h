// What several fuzz targets share: a scratch directory of their own and an
// install store to fuzz against.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/secret.h"
#include "install/persist/identity.h"

namespace kio::fuzz {

namespace detail {
// Kept as plain characters: the exit handler runs after static paths are gone.
inline char scratch_text[4096];
inline void remove_scratch() {
  std::error_code ec;
  std::filesystem::remove_all(scratch_text, ec);
}
}  // namespace detail

// A fresh directory (in memory where /dev/shm exists), made on first use and
// removed when the program exits. One per program.
inline const std::filesystem::path& scratch_dir(const char* name) {
  static const std::filesystem::path dir = [name] {
    const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string templ = std::string(base) + "/kio-" + name + "-fuzz-XXXXXX";
    if (templ.size() >= sizeof detail::scratch_text || ::mkdtemp(templ.data()) == nullptr) std::abort();
    std::memcpy(detail::scratch_text, templ.c_str(), templ.size() + 1);
    std::atexit(detail::remove_scratch);
    return std::filesystem::path(templ);
  }();
  return dir;
}

// The wrap key of the store vectors (bytes 0..31), so that their segment is a
// valid seed for the log's targets.
inline SecretKey store_key() {
  std::uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return SecretKey(std::span<const std::uint8_t, 32>(bytes, 32));
}

// scratch_dir(name)/"persist" holding an identity sealed under store_key().
inline std::filesystem::path store_root(const char* name) {
  const std::filesystem::path root = scratch_dir(name) / "persist";
  std::filesystem::create_directories(root);
  if (!install::write_identity(root, store_key(),
                               install::InstallIdentity{"ada", "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71"})) {
    std::abort();
  }
  return root;
}

}  // namespace kio::fuzz
