// The bootstrap file stream on the wire: the announcement a sender makes on the
// control channel, and the packed file records the stream bytes are made of.
// The sender and the receiver both read and write these bytes through here.
//
// A sender announces a stream on the control channel (0xFB and a JSON
// FileStreamAnnounce), then sends it stream frame by stream frame: each
// registered on the control channel (0xFA, 15 bytes) and carried in chunks on
// the data channel (p2p/chunking). Stream frames must complete in stream order;
// when the announced number has completed, the stream is checked against the
// announced size and digest.
//
// Stream bytes are file records, one after another, little-endian:
//   u32 name length N | N bytes UTF-8 name | u64 body length B | B bytes body
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"

namespace kio::install {

inline constexpr char FILE_STREAM_SCHEMA[] = "kio.bulk.file-stream.v1";
inline constexpr std::uint8_t FILE_STREAM_ANNOUNCE_MARKER = 0xFB;
inline constexpr std::uint8_t FILE_STREAM_CONTROL_CHANNEL = 0;
inline constexpr std::uint8_t FILE_STREAM_DATA_CHANNEL = 1;

struct FileStreamEntry {
  std::string name;
  std::uint64_t size = 0;  // not compared by the receiver
  std::string sha256;

  bool operator==(const FileStreamEntry&) const = default;
};

struct FileStreamAnnounce {
  std::string schema;
  std::string feature_id;
  std::string blob_id;
  std::string blob_class;
  std::string sha256;
  std::uint64_t total_bytes = 0;
  std::uint32_t segment_count = 0;
  std::vector<FileStreamEntry> files;

  // The announcement in a control message, or nothing when the message is not
  // one (no 0xFB marker, or JSON that is not a readable announcement). The
  // schema is not checked here.
  static std::optional<FileStreamAnnounce> from_control_payload(std::span<const std::uint8_t> bytes);

  bool operator==(const FileStreamAnnounce&) const = default;
};

// 0xFB followed by the announcement as compact JSON, members in declaration
// order. The schema is written as given, so tests can build refused ones.
Bytes encode_announcement(const FileStreamAnnounce& announce);

// ---- File records

// The widths of a record's two length fields.
inline constexpr std::size_t RECORD_NAME_LENGTH_SIZE = 4;
inline constexpr std::size_t RECORD_BODY_LENGTH_SIZE = 8;

// The bytes of a record before its body, for a name of `name_length` bytes.
constexpr std::uint64_t record_header_size(std::uint64_t name_length) {
  return RECORD_NAME_LENGTH_SIZE + name_length + RECORD_BODY_LENGTH_SIZE;
}

// Appends a record's header (name length, name, body length) to `out`. The name
// is written as given.
void append_record_header(Bytes& out, std::string_view name, std::uint64_t body_size);

// The length fields of a record, read from their bytes.
inline std::uint32_t decode_name_length(std::span<const std::uint8_t, RECORD_NAME_LENGTH_SIZE> bytes) {
  return load_le<std::uint32_t>(bytes.data());
}
inline std::uint64_t decode_body_length(std::span<const std::uint8_t, RECORD_BODY_LENGTH_SIZE> bytes) {
  return load_le<std::uint64_t>(bytes.data());
}

// Reads a stream's records from its bytes as they arrive, in pieces cut
// anywhere (also within a length field). Only the length fields are held; what
// the records say goes to a visitor, in stream order. For each record it calls:
//   bool name_length(std::uint32_t n)  the name is n bytes long;
//   void name(std::span<const std::uint8_t> piece)  the next bytes of the name
//                                      (none for an empty name);
//   bool body_length(std::uint64_t n)  the name is whole; the body is n bytes;
//   bool body(std::span<const std::uint8_t> piece, std::uint64_t left)
//                                      the next bytes of the body, and how many
//                                      are still to come after them;
//   bool body_end()                    the body is whole (at once for an empty one).
// A call that returns false stops the reading there: neither the rest of these
// bytes nor any fed later is read.
class RecordReader {
 public:
  template <class Visitor>
  void read(std::span<const std::uint8_t> bytes, Visitor& visitor);
  // No record has been begun and not ended: the bytes so far are whole records.
  bool between_records() const { return field_ == Field::NameLength && number_filled_ == 0; }
  bool stopped() const { return stopped_; }

 private:
  enum class Field { NameLength, Name, BodyLength, Body };
  bool end_body(auto& visitor) {
    field_ = Field::NameLength;
    return visitor.body_end();
  }

  Field field_ = Field::NameLength;
  std::uint8_t number_[RECORD_BODY_LENGTH_SIZE] = {};
  std::size_t number_filled_ = 0;
  std::uint64_t left_ = 0;  // of the name or body being read
  bool stopped_ = false;
};

template <class Visitor>
void RecordReader::read(std::span<const std::uint8_t> bytes, Visitor& visitor) {
  while (!bytes.empty() && !stopped_) {
    if (field_ == Field::NameLength || field_ == Field::BodyLength) {
      const std::size_t width = field_ == Field::NameLength ? RECORD_NAME_LENGTH_SIZE : RECORD_BODY_LENGTH_SIZE;
      const std::size_t take = std::min(width - number_filled_, bytes.size());
      std::memcpy(number_ + number_filled_, bytes.data(), take);
      number_filled_ += take;
      bytes = bytes.subspan(take);
      if (number_filled_ < width) continue;
      number_filled_ = 0;
      if (field_ == Field::NameLength) {
        const std::uint32_t length = decode_name_length(std::span<const std::uint8_t, RECORD_NAME_LENGTH_SIZE>(number_, RECORD_NAME_LENGTH_SIZE));
        left_ = length;
        field_ = length == 0 ? Field::BodyLength : Field::Name;
        stopped_ = !visitor.name_length(length);
      } else {
        left_ = decode_body_length(number_);
        field_ = Field::Body;
        stopped_ = !visitor.body_length(left_);
        if (!stopped_ && left_ == 0) stopped_ = !end_body(visitor);
      }
      continue;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
    const std::span<const std::uint8_t> piece = bytes.first(take);
    left_ -= take;
    bytes = bytes.subspan(take);
    if (field_ == Field::Name) {
      visitor.name(piece);
      if (left_ == 0) field_ = Field::BodyLength;
    } else {
      stopped_ = !visitor.body(piece, left_);
      if (!stopped_ && left_ == 0) stopped_ = !end_body(visitor);
    }
  }
}

// One file of a stream: its name and its content.
using NamedFile = std::pair<std::string, Bytes>;

// Stream bytes: one record per file, in the given order. Names are written as
// given, so tests can build streams that unpacking must refuse.
Bytes pack_files(std::span<const NamedFile> files);

}  // namespace kio::install
