// The sending side of feature frames and bootstrap file streams: the encoders
// of every wire record the connector reads, the file packer, and the planner
// that turns a stream into the ordered messages a peer sends.
//
// The encoders write exactly what they are given, so tests can also build
// records the receiver must refuse; only the planner insists on valid streams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/uuid.h"
#include "install/bootstrap_stream.h"
#include "install/result.h"

namespace kio::peer {


// Appends the shortest LEB128 encoding of `value`.
void write_varint(Bytes& out, std::uint64_t value);

// 16-byte id, varint frame value, varint payload length, payload.
Bytes encode_feature_frame(const Uuid& feature_id, std::uint64_t frame_value, std::span<const std::uint8_t> payload);

// A chunk message; padded with zeros to the 18-byte minimum when the payload is
// shorter than two bytes (the receiver ignores bytes after the payload).
Bytes encode_chunk(std::uint64_t frame_id, std::uint16_t chunk_id, std::uint16_t total_chunks,
                   std::span<const std::uint8_t> payload);

// The 15-byte frame registration.
Bytes encode_registration(std::uint64_t frame_id, std::uint16_t total_chunks, std::uint32_t value);

// 0xFB followed by the announcement as compact JSON, members in declaration order.
Bytes encode_announcement(const install::FileStreamAnnounce& announce);

using NamedFile = std::pair<std::string, Bytes>;

// Stream bytes: one record per file, in the given order. Names are not checked.
Bytes pack_files(const std::vector<NamedFile>& files);
// The announcement entries (name, size, digest) of the same files.
std::vector<install::FileStreamEntry> file_entries(const std::vector<NamedFile>& files);
// The regular files directly inside `dir`, sorted by name (byte order).
install::Result<std::vector<NamedFile>> read_directory_files(const std::filesystem::path& dir);
// pack_files(read_directory_files(dir)).
install::Result<Bytes> pack_directory(const std::filesystem::path& dir);

struct OutgoingMessage {
  std::uint8_t channel = 0;
  Bytes bytes;

  bool operator==(const OutgoingMessage&) const = default;
};

// What the sender says about a stream; schema, digest, size and frame count
// are filled in by the planner.
struct StreamDescription {
  std::string feature_id;
  std::string blob_id;
  std::string blob_class;
  std::vector<install::FileStreamEntry> files;
};

// The messages of one stream, produced one at a time: the announcement on
// channel 0, then for each frame its registration on channel 0 followed by its
// chunks on channel 1, so that frames complete in stream order. Frame ids count
// from 0; the registration's value is the frame's length in bytes. An empty
// stream is one frame of one empty chunk (a stream of no frames never completes).
//
// The plan refers to the stream bytes, which must outlive it.
class StreamPlan {
 public:
  static constexpr std::size_t DEFAULT_FRAME_SIZE = std::size_t{1} << 20;
  // A frame has at most 65,535 chunks.
  static constexpr std::size_t MAX_FRAME_SIZE = std::size_t{65535} * 1338;

  // Fails when the frame size is 0 or above MAX_FRAME_SIZE, or the stream
  // needs more than 2^32 - 1 frames.
  static install::Result<StreamPlan> create(const StreamDescription& description, std::span<const std::uint8_t> stream,
                                            std::size_t frame_size = DEFAULT_FRAME_SIZE);

  const install::FileStreamAnnounce& announcement() const { return announce_; }
  // Total number of messages the plan produces.
  std::uint64_t message_count() const;
  // The next message, or nothing once all were produced.
  std::optional<OutgoingMessage> next();

 private:
  StreamPlan() = default;
  std::size_t frame_length(std::uint64_t frame) const;
  std::uint16_t chunk_count(std::uint64_t frame) const;

  install::FileStreamAnnounce announce_;
  std::span<const std::uint8_t> stream_;
  std::size_t frame_size_ = DEFAULT_FRAME_SIZE;
  bool announced_ = false;
  std::uint64_t frame_ = 0;     // current frame
  bool registered_ = false;     // its registration was produced
  std::uint32_t chunk_ = 0;     // its next chunk
};

// Every message of a plan, for tests and small streams.
install::Result<std::vector<OutgoingMessage>> plan_stream(const StreamDescription& description,
                                                          std::span<const std::uint8_t> stream,
                                                          std::size_t frame_size = StreamPlan::DEFAULT_FRAME_SIZE);

}  // namespace kio::peer
