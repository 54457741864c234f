// Arbitrary bytes as the one segment of a store. Reading must never crash, and
// whenever the chain reads, an append must succeed and leave a chain that reads
// back with exactly one frame more (torn tails and missing line feeds included).
// Each input gets a store of its own in a file system in memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/persist/persist.h"

namespace fs = std::filesystem;
using namespace kio::install;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kio::fuzz::MemoryDisk disk;
  // The store vectors' key, so that their segment is a valid seed.
  const fs::path root = kio::fuzz::store_root();
  auto opened = Persist::open(root, kio::fuzz::store_key());
  if (!opened) std::abort();
  Persist& store = *opened;
  store.set_local_date_source([] { return CalendarDate{2026, 1, 5}; });

  // The segment appears under the open store.
  const fs::path ltr = root / "ltr";
  if (!kio::file_system().remove_tree(ltr) || !kio::make_directories(ltr / "current")) std::abort();
  kio::fuzz::write_bytes(ltr / "current" / "2026-01-05-00001.jsonl", data, size);

  const auto frames = store.read_frames();
  (void)store.read_payloads();
  if (!frames) return 0;
  const BlobRecord record{"persist-blob", "01939a3c-6000-7000-8000-000000000009", "bytes", "file:///b", false,
                          std::string(64, 'e')};
  const auto appended = store.append_ltr_payload(record);
  if (!appended || *appended != frames->size() + 1) {
    std::fprintf(stderr, "append after a good read failed: %s\n", appended ? "wrong sequence" : appended.error().c_str());
    std::abort();
  }
  const auto after = store.read_frames();
  if (!after || after->size() != frames->size() + 1) {
    std::fprintf(stderr, "chain unreadable after an append: %s\n", after ? "wrong count" : after.error().c_str());
    std::abort();
  }
  return 0;
}
