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

#include <cstddef>
#include <cstdint>
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

// One file of a stream: its name and its content.
using NamedFile = std::pair<std::string, Bytes>;

// Stream bytes: one record per file, in the given order. Names are written as
// given, so tests can build streams that unpacking must refuse.
Bytes pack_files(std::span<const NamedFile> files);

}  // namespace kio::install
