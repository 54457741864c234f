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

#include "install/persist/persist.h"

namespace fs = std::filesystem;
using namespace kio::install;

namespace {

// The wrap key and founder of the store vectors, so that their segment is a
// valid seed for this target.
kio::SecretKey fuzz_key() {
  std::uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return kio::SecretKey(std::span<const std::uint8_t, 32>(bytes, 32));
}

struct FuzzStore {
  fs::path root;
  Persist* store = nullptr;

  FuzzStore() {
    const char* base = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/kio-ltr-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    root = fs::path(tmpl) / "persist";
    fs::create_directories(root);
    if (!write_identity(root, fuzz_key(), InstallIdentity{"ada", "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71"})) std::abort();
    auto opened = Persist::open(root, fuzz_key());
    if (!opened) std::abort();
    store = new Persist(std::move(*opened));
    store->set_local_date_source([] { return CalendarDate{2026, 1, 5}; });
  }
  ~FuzzStore() {
    delete store;
    std::error_code ec;
    fs::remove_all(root.parent_path(), ec);
  }
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
