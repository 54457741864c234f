#include "install/record_digests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "tests/support/test_support.h"

namespace kio::install {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::pseudo_random;

using test::bytes_of;

// The digest of each listed file is computed from the records as they arrive,
// however the bytes are cut into pieces; the last record of a name counts, and
// a record the stream does not complete gives none.
TEST(RecordDigests, ReadsRecordsOnTheFly) {
  const Bytes a1 = pseudo_random(3000, 1), a2 = pseudo_random(10, 2), b = pseudo_random(2676, 3);
  Bytes stream = pack_files(std::vector<NamedFile>{{"a", a1},
                                                   {"unlisted", pseudo_random(500, 4)},
                                                   {"empty", {}},
                                                   {std::string(300, 'n'), bytes_of("long unlisted name")},
                                                   {"b", b},
                                                   {"a", a2},
                                                   {"", bytes_of("nameless")}});
  const Bytes cut_short = pack_files(std::vector<NamedFile>{{"c", bytes_of("never complete")}});
  stream.insert(stream.end(), cut_short.begin(), cut_short.end() - 1);
  const std::vector<FileStreamEntry> listed = {
      {"a", 0, ""}, {"b", 0, ""}, {"empty", 0, ""}, {"c", 0, ""}, {"missing", 0, ""}, {"bb", 0, ""}};
  const std::map<std::string, std::string> expected = {
      {"a", sha256_hex(a2)}, {"b", sha256_hex(b)}, {"empty", sha256_hex(Bytes{})}};

  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{1338}, stream.size()}) {
    RecordDigests digests(listed);
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      digests.update(std::span<const std::uint8_t>(stream).subspan(at, std::min(piece, stream.size() - at)));
    }
    EXPECT_EQ(digests.digests(), expected) << "pieces of " << piece;
  }
}

}  // namespace
}  // namespace kio::install
