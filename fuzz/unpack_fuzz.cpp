// unpack_files on arbitrary stream bytes: never crashes, and never writes
// anything outside the target directory. Each input unpacks into
// <scratch>/case/a/b/out, deep enough that a name climbing out of "out" would
// land inside "case"; afterwards "case" must hold nothing but that chain of
// directories and regular files directly in "out".
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/unpack.h"

namespace {

namespace fs = std::filesystem;

const fs::path& scratch() { return kio::fuzz::scratch_dir("unpack"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path root = scratch() / "case";
  const fs::path out = root / "a" / "b" / "out";
  std::error_code ec;
  fs::remove_all(root, ec);

  kio::install::MemorySource stream(std::span<const std::uint8_t>(data, size));
  (void)kio::install::unpack_files(stream, out);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const fs::path& p = entry.path();
    const bool on_chain = p == root / "a" || p == root / "a" / "b" || p == out;
    if (!on_chain && p.parent_path() != out) {
      std::fprintf(stderr, "written outside the directory: %s\n", p.c_str());
      std::abort();
    }
    if (p.parent_path() == out && !entry.is_regular_file()) std::abort();
  }
  // Nothing may appear beside the scratch directory's case either.
  for (const auto& entry : fs::directory_iterator(scratch())) {
    if (entry.path() != root) std::abort();
  }
  fs::remove_all(root, ec);
  return 0;
}
