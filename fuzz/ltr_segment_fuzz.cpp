// Arbitrary bytes as the one segment of a store. Reading must never crash, and
// whenever the chain reads, an append must succeed and leave a chain that reads
// back with exactly one frame more (torn tails and missing line feeds included).
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/persist/persist.h"

namespace fs = std::filesystem;
using namespace kio::install;

namespace {

struct FuzzStore {
  fs::path root;
  Persist* store = nullptr;

  FuzzStore() {
    // The store vectors' key, so that their segment is a valid seed.
    root = kio::fuzz::store_root("ltr");
    auto opened = Persist::open(root, kio::fuzz::store_key());
    if (!opened) std::abort();
    store = new Persist(std::move(*opened));
    store->set_local_date_source([] { return CalendarDate{2026, 1, 5}; });
  }
  ~FuzzStore() { delete store; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzStore fuzz;
  const fs::path ltr = fuzz.root / "ltr";
  std::error_code ec;
  fs::remove_all(ltr, ec);
  fs::create_directories(ltr / "current");
  {
    std::ofstream out(ltr / "current" / "2026-01-05-00001.jsonl", std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto frames = fuzz.store->read_frames();
  (void)fuzz.store->read_payloads();
  if (!frames) return 0;
  const BlobRecord record{"persist-blob", "01939a3c-6000-7000-8000-000000000009", "bytes", "file:///b", false,
                          std::string(64, 'e')};
  const auto appended = fuzz.store->append_ltr_payload(record);
  if (!appended || *appended != frames->size() + 1) {
    std::fprintf(stderr, "append after a good read failed: %s\n", appended ? "wrong sequence" : appended.error().c_str());
    std::abort();
  }
  const auto after = fuzz.store->read_frames();
  if (!after || after->size() != frames->size() + 1) {
    std::fprintf(stderr, "chain unreadable after an append: %s\n", after ? "wrong count" : after.error().c_str());
    std::abort();
  }
  return 0;
}
