// A segment that another writer grows between two appends. The store opens on
// the first part of the bytes (its first two bytes, little-endian, say where
// that part ends), the rest is then added at the end of the segment, and the
// store appends: having verified only what was added, it must come to the same
// verdict as a full read of the grown segment, and leave a chain that reads
// back with one frame more.
//
// Seeds: the ltr_segment seeds with two bytes in front, splitting them inside
// a line, at a line feed and at their end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"
#include "install/persist/persist.h"

namespace fs = std::filesystem;
using namespace kio::install;

namespace {

[[noreturn]] void fault(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::size_t bytes = size - 2;
  const std::size_t first = bytes == 0 ? 0 : (data[0] | (std::size_t{data[1]} << 8)) % (bytes + 1);
  const std::uint8_t* segment_bytes = data + 2;

  kio::fuzz::MemoryDisk disk;  // a store of its own for each input, in memory
  // The store vectors' key, as for ltr_segment.
  const fs::path root = kio::fuzz::store_root();
  const fs::path ltr = root / "ltr";
  if (!kio::make_directories(ltr / "current")) std::abort();
  const fs::path segment = ltr / "current" / "2026-01-05-00001.jsonl";
  kio::fuzz::write_bytes(segment, segment_bytes, first);

  auto opened = Persist::open(root, kio::fuzz::store_key());  // verifies the first part
  if (!opened) std::abort();
  Persist& writer = *opened;
  writer.set_local_date_source([] { return CalendarDate{2026, 1, 5}; });
  kio::fuzz::write_bytes(segment, segment_bytes + first, bytes - first, /*append=*/true);  // another writer's growth

  auto reader = Persist::open_read_only(root, kio::fuzz::store_key());
  if (!reader) std::abort();
  const auto full = reader->read_frames();
  const BlobRecord record{"persist-blob", "01939a3c-6000-7000-8000-000000000009", "bytes", "file:///b", false,
                          std::string(64, 'e')};
  const auto appended = writer.append_ltr_payload(record);
  if (!full) {
    if (appended) fault("an append went onto a log that does not read: " + full.error());
    if (appended.error().message() != full.error().message()) {
      fault("append: " + appended.error() + ", read: " + full.error());
    }
    return 0;
  }
  if (!appended) fault("an append onto a log that reads failed: " + appended.error());
  if (*appended != full->size() + 1) fault("the append did not continue the chain");
  const auto after = reader->read_frames();
  if (!after || after->size() != full->size() + 1) {
    fault("the chain does not read after the append: " + (after ? std::string("wrong count") : after.error().message()));
  }
  return 0;
}
