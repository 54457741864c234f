// The file records of a stream read on the fly (RecordDigests) against a plain
// reading of the whole stream at once. The first input byte is the size of the
// pieces the rest is fed in (0: all at once). The names listed are those of the
// first records and one that no record has; for each, the digest must be that of
// the last complete record of the name, and absent when there is none.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "install/record_digests.h"
#include "install/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = data[0] == 0 ? size : data[0];
  const std::span<const std::uint8_t> stream(data + 1, size - 1);

  // The plain reading: every complete record, in order.
  std::vector<std::pair<std::string, std::span<const std::uint8_t>>> records;
  for (std::size_t offset = 0;;) {
    const std::size_t left = stream.size() - offset;
    if (left < 4) break;
    const std::uint64_t name_length = kio::load_le<std::uint32_t>(stream.data() + offset);
    if (left - 4 < name_length + 8) break;
    const std::uint64_t body_length = kio::load_le<std::uint64_t>(stream.data() + offset + 4 + name_length);
    if (left - 4 - name_length - 8 < body_length) break;
    records.emplace_back(std::string(reinterpret_cast<const char*>(stream.data() + offset + 4), name_length),
                         stream.subspan(offset + 4 + name_length + 8, body_length));
    offset += 4 + name_length + 8 + body_length;
  }
  std::vector<kio::install::FileStreamEntry> listed = {{"never a record name \x01", 0, ""}};
  for (std::size_t i = 0; i < records.size() && i < 3; ++i) listed.push_back({records[i].first, 0, ""});
  std::map<std::string, std::string> expected;
  for (const auto& [name, body] : records) {
    for (const auto& entry : listed) {
      if (entry.name == name) expected.insert_or_assign(name, kio::install::sha256_hex(body));
    }
  }

  kio::install::RecordDigests digests(listed);
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    digests.update(stream.subspan(at, std::min(piece, stream.size() - at)));
  }
  if (digests.digests() != expected) std::abort();
  return 0;
}
