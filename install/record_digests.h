// The digests of a stream's listed files, read from the stream bytes on the fly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
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
  enum class Field { NameLength, Name, BodyLength, Body };
  void finish_body();

  std::vector<std::string> listed_;
  std::size_t longest_ = 0;
  Field field_ = Field::NameLength;
  std::uint8_t number_[RECORD_BODY_LENGTH_SIZE] = {};
  std::size_t number_filled_ = 0;
  std::uint64_t left_ = 0;  // of the name or body being read
  std::string name_;        // up to longest_ + 1 bytes of it
  bool hashing_ = false;    // the body belongs to a listed name
  Sha256 sha_;
  std::map<std::string, std::string> digests_;
};

}  // namespace kio::install
