// "features-manifest.json": the install's readable list of what the connector
// admitted or landed, oldest first. Plain JSON, rewritten whole on every entry.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "common/file_io.h"
#include "install/json.h"
#include "common/result.h"

namespace kio::connector {


inline constexpr const char* FEATURES_MANIFEST_SCHEMA = "kio.install.features-manifest.v1";

// The writer of one install's manifest. It keeps the manifest last written or
// read in memory, in its written form, with the status of its file (size,
// times, inode); while that status is unchanged the next entry is appended to
// it without reading or parsing the file again. A file changed, replaced or
// removed behind the writer's back is read afresh, as is any file after a
// failed write. The file is still written whole.
class ManifestWriter {
 public:
  explicit ManifestWriter(const std::filesystem::path& install_root);

  // Appends one entry (also one already listed) and replaces the file whole with
  // two-space indentation, members in byte order at every level, mode 0600. A
  // manifest that is not this installer's is never repaired: every call refuses
  // it until fixed.
  Result<void> record(const install::json::Json& entry);

  // record in two steps, for entries made durable together: add appends an
  // entry to the manifest in memory only (refused as record would refuse it,
  // the manifest unchanged then); write replaces the file whole once with every
  // entry added since the last write. While entries wait to be written the
  // file is not read again. A failed write forgets them with the rest: the file
  // is read afresh next time.
  Result<void> add(const install::json::Json& entry);
  Result<void> write();
  // Entries added and not yet written.
  std::size_t unwritten() const { return unwritten_; }

  // Fails as record would before it writes anything (a manifest that cannot be
  // read or is not this installer's); writes nothing. A caller that must not
  // leave work half-recorded asks this first.
  Result<void> check();

 private:
  // The manifest in its written form, split around the entries of its
  // "features" array, so that an entry is appended without parsing or writing
  // the others again:
  //   head + "[" + entries + "\n  ]" + tail, or head + "[]" + tail when empty,
  // where `entries` is each entry after "\n    ", separated by ",".
  struct Written {
    std::string head, entries, tail;
    std::string text() const { return head + "[" + entries + (entries.empty() ? "]" : "\n  ]") + tail; }
  };
  // The manifest as last written or read, with the status of its file then.
  struct Held {
    FileStamp stamp;
    Written manifest;
  };

  static Result<Written> split(install::json::Json manifest);
  static Result<Written> load(const std::filesystem::path& path, const std::optional<struct stat>& st);
  // Reads and parses the file only when it is not the one last written or read.
  Result<void> bring_up_to_date();

  std::filesystem::path path_;
  std::optional<Held> held_;
  std::size_t unwritten_ = 0;
};

}  // namespace kio::connector
