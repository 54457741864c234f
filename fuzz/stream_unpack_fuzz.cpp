// StreamUnpacker fed arbitrary stream bytes in arbitrary pieces, against
// unpack_files of the same bytes whole. The first two bytes of the input seed
// how the rest is cut: pieces of 0 to 64 bytes (now and then up to 4 KiB),
// handed over one to four at a time. Whatever the cut:
// - when the unpacker says its directory holds the stream's files, unpacking
//   the whole stream succeeds and writes the same names with the same bytes;
// - when unpacking the whole stream succeeds, the unpacker says so too (the
//   file system in memory refuses nothing a sound stream needs);
// - the unpacker's directory, moved or dropped, is the only thing it writes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "fuzz/fuzz_support.h"
#include "install/unpack.h"

namespace fs = std::filesystem;

namespace {

// Every regular file directly in `dir`, by name; anything else there aborts.
std::map<std::string, std::string> files_in(const fs::path& dir) {
  std::map<std::string, std::string> files;
  kio::fuzz::walk(dir, [&](const fs::path& p, const struct stat& st) {
    if (p.parent_path() != dir || !S_ISREG(st.st_mode)) std::abort();
    auto bytes = kio::read_file(p);
    if (!bytes) std::abort();
    files.emplace(p.filename().string(), std::move(*bytes));
  });
  return files;
}

class Cuts {
 public:
  explicit Cuts(std::uint32_t seed) : state_(seed * 2654435761u + 1) {}
  std::uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  std::size_t piece() {
    const std::uint32_t r = next();
    return (r & 0xF) == 0 ? (r >> 4) % 4097 : (r >> 4) % 65;
  }

 private:
  std::uint32_t state_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Cuts cuts(static_cast<std::uint32_t>(data[0] | (data[1] << 8)));
  const std::span<const std::uint8_t> stream(data + 2, size - 2);

  kio::fuzz::MemoryDisk disk;
  const fs::path scratch = "/scratch";
  const fs::path flowing = scratch / "flowing";
  const fs::path moved = scratch / "moved";
  const fs::path whole = scratch / "whole";
  if (!kio::make_directories(scratch)) std::abort();

  std::optional<kio::Result<bool>> said;
  std::optional<std::map<std::string, std::string>> flowed;
  {
    kio::install::StreamUnpacker unpacker(flowing);
    std::size_t offset = 0;
    std::vector<std::span<const std::uint8_t>> pieces;
    while (offset < stream.size()) {
      pieces.clear();
      const std::size_t count = 1 + cuts.next() % 4;
      for (std::size_t i = 0; i < count && offset < stream.size(); ++i) {
        const std::size_t take = std::min(cuts.piece(), stream.size() - offset);
        pieces.push_back(stream.subspan(offset, take));
        offset += take;
      }
      unpacker.update(pieces);
    }
    said = unpacker.finish();
    // Nothing in memory fails to flush.
    if (!*said) std::abort();
    if (**said) {
      flowed = files_in(flowing);
      if ((cuts.next() & 1) && !unpacker.move_to(moved)) std::abort();
    }
  }
  const bool moved_away = kio::is_directory_path(moved);
  if (moved_away && files_in(moved) != *flowed) std::abort();
  // Dropped without a move, the unpacker takes its directory with it.
  if (kio::is_directory_path(flowing)) std::abort();

  kio::install::MemorySource source(stream);
  const bool unpacked = kio::install::unpack_files(source, whole).has_value();
  if (unpacked != **said) std::abort();
  if (flowed && *flowed != files_in(whole)) std::abort();

  kio::fuzz::walk(scratch, [&](const fs::path& p, const struct stat&) {
    const fs::path top = scratch / *p.lexically_relative(scratch).begin();
    if (top != whole && top != moved) {
      std::fprintf(stderr, "written outside the directory: %s\n", p.c_str());
      std::abort();
    }
  });
  return 0;
}
