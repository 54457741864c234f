// unpack_files on arbitrary stream bytes: never crashes, and never writes
// anything outside the target directory. Each input unpacks, in a file system
// in memory of its own, into /scratch/case/a/b/out, deep enough that a name
// climbing out of "out" would land inside "case"; afterwards the whole file
// system must hold nothing but that chain of directories and regular files
// directly in "out".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>

#include "fuzz/fuzz_support.h"
#include "install/unpack.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kio::fuzz::MemoryDisk disk;
  const fs::path scratch = "/scratch";
  const fs::path root = scratch / "case";
  const fs::path out = root / "a" / "b" / "out";
  if (!kio::make_directories(scratch)) std::abort();

  kio::install::MemorySource stream(std::span<const std::uint8_t>(data, size));
  (void)kio::install::unpack_files(stream, out);
  kio::fuzz::walk("/", [&](const fs::path& p, const struct stat& st) {
    const bool on_chain = p == scratch || p == root || p == root / "a" || p == root / "a" / "b" || p == out;
    if (!on_chain && p.parent_path() != out) {
      std::fprintf(stderr, "written outside the directory: %s\n", p.c_str());
      std::abort();
    }
    if (on_chain && !S_ISDIR(st.st_mode)) std::abort();
    if (p.parent_path() == out && !S_ISREG(st.st_mode)) std::abort();
  });
  return 0;
}
