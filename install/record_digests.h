// The digests of a stream's listed files, read from the stream bytes on the fly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "install/crypto.h"
#include "install/stream_format.h"

namespace kio::install {

// The digest of each listed file's content, computed from the stream bytes as
// they arrive by reading the file records on the fly: the digest of the last
// record of that name, as that is the content the file ends up with once
// unpacked. Only the announcement's names are hashed, and a name is kept only up
// to the longest listed one, so memory does not grow with the stream. A record
// that the stream does not complete gives no digest; unpacking reports why.
class RecordDigests {
 public:
  explicit RecordDigests(const std::vector<FileStreamEntry>& listed);
  void update(std::span<const std::uint8_t> bytes);
  // Listed name -> digest text, for every listed name with a complete record.
  const std::map<std::string, std::string>& digests() const { return digests_; }

 private:
  friend class RecordReader;
  // What the reader says of the records (see RecordReader).
  bool name_length(std::uint32_t length);
  void name(std::span<const std::uint8_t> piece);
  bool body_length(std::uint64_t length);
  bool body(std::span<const std::uint8_t> piece, std::uint64_t left);
  bool body_end();

  std::unordered_set<std::string> listed_;
  std::size_t longest_ = 0;
  RecordReader reader_;
  std::string name_;        // up to longest_ + 1 bytes of it
  bool hashing_ = false;    // the body belongs to a listed name
  Sha256 sha_;
  std::map<std::string, std::string> digests_;
};

}  // namespace kio::install
