// Stream frames split into chunks for the data channel, and their reassembly.
// A stream frame is one piece of a bootstrap file stream; it is neither a
// feature frame nor a frame of the long-term record.
//
// Chunk (data channel), little-endian:
//   u64 frame id | u16 chunk id | u16 total chunks | u32 payload length | payload
// A chunk message is at least 18 bytes long, even when its payload is shorter
// than two bytes; bytes after the payload are ignored.
//
// Frame registration (control channel), exactly 15 bytes, little-endian:
//   0xFA | u64 frame id | u16 total chunks | u32 value (carried, not interpreted)
//
// Both directions live here: the receiver decodes, peers and tests encode. The
// reassembler never reports errors: a chunk it cannot place is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"

namespace kio::p2p {

inline constexpr std::size_t MAX_CHUNK_SIZE = 1338;
inline constexpr std::size_t CHUNK_HEADER_SIZE = 16;
inline constexpr std::size_t MIN_CHUNK_MESSAGE_SIZE = 18;
inline constexpr std::size_t FRAME_REGISTRATION_SIZE = 15;
inline constexpr std::uint8_t FRAME_REGISTRATION_MARKER = 0xFA;
// A chunk count is 16 bits wide, so the largest stream frame a registration can
// describe is 65,535 full chunks.
inline constexpr std::size_t MAX_CHUNKS_PER_FRAME = 65535;
inline constexpr std::size_t MAX_STREAM_FRAME_SIZE = MAX_CHUNKS_PER_FRAME * MAX_CHUNK_SIZE;
// The largest stream frame a sender can count on being reassembled, with room
// for the next one in flight, and what the reassembler holds of partial frames at
// most, in bytes (see FrameReassembler).
inline constexpr std::size_t MAX_RECEIVABLE_FRAME_SIZE = std::size_t{8} << 20;
inline constexpr std::size_t MAX_PARTIAL_BYTES = std::size_t{18} << 20;

struct FrameChunk {
  std::vector<std::uint8_t> payload;
  std::uint64_t frame_id = 0;
  std::uint16_t chunk_id = 0;
  std::uint16_t total_chunks = 0;

  // The chunk with its payload copied out, or one of the static messages
  // "Chunk buffer too small", "total_chunks cannot be zero",
  // "chunk_id must be < total_chunks", "chunk payload exceeds MAX_CHUNK_SIZE",
  // "chunk payload truncated" (checked in that order).
  static std::expected<FrameChunk, const char*> deserialize(std::span<const std::uint8_t> bytes);
  // The same, the payload taking over the message's storage (no copy, no
  // allocation); a refused message is left as it was.
  static std::expected<FrameChunk, const char*> deserialize(std::vector<std::uint8_t>&& message);

  bool operator==(const FrameChunk&) const = default;
};

// A chunk message; padded with zeros to the 18-byte minimum when the payload is
// shorter than two bytes. Written as given, so tests can also build chunks that
// deserialize must refuse.
Bytes encode_chunk(std::uint64_t frame_id, std::uint16_t chunk_id, std::uint16_t total_chunks,
                   std::span<const std::uint8_t> payload);

struct FrameMetadata {
  std::uint64_t frame_id = 0;
  std::uint16_t total_chunks = 0;
  std::uint32_t value = 0;

  // The registration, or nothing when the bytes are not one (wrong length,
  // wrong marker, zero chunks).
  static std::optional<FrameMetadata> from_control_payload(std::span<const std::uint8_t> bytes);

  bool operator==(const FrameMetadata&) const = default;
};

// The 15-byte frame registration, written as given (zero chunks included).
Bytes encode_registration(std::uint64_t frame_id, std::uint16_t total_chunks, std::uint32_t value);

// A stream frame whose chunks have all arrived, still held as its chunks'
// payloads so that the owner can append it where it needs it without an
// intermediate copy.
class CompletedStreamFrame {
 public:
  CompletedStreamFrame(std::vector<std::vector<std::uint8_t>> parts, std::size_t size)
      : parts_(std::move(parts)), size_(size) {}
  std::size_t size() const { return size_; }
  // The chunks' payloads in chunk id order.
  const std::vector<std::vector<std::uint8_t>>& parts() const { return parts_; }
  // Appends the chunks' payloads in chunk id order.
  void append_to(std::vector<std::uint8_t>& out) const;
  std::vector<std::uint8_t> bytes() const;

 private:
  std::vector<std::vector<std::uint8_t>> parts_;
  std::size_t size_;
};

class FrameReassembler {
 public:
  // At most this many frames may be partly received; a chunk that would start
  // one more abandons the oldest started one.
  static constexpr std::size_t MAX_PARTIAL_FRAMES = 16;
  // Partial frames are also bounded in bytes: each is charged its slots when it
  // starts and every payload byte it holds. A chunk that would pass the bound
  // abandons the oldest other partial frames until it fits; a frame that cannot
  // fit even alone is abandoned itself (it could never complete).
  static constexpr std::size_t SLOT_COST = sizeof(std::vector<std::uint8_t>) + 1;
  // Registrations kept; registering one more forgets the oldest (and any chunks
  // received for it). A sender registers each frame just before its chunks, so
  // only a peer that floods registrations ever reaches this.
  static constexpr std::size_t MAX_REGISTRATIONS = 4096;

  explicit FrameReassembler(std::size_t max_partial_bytes = MAX_PARTIAL_BYTES)
      : max_partial_bytes_(max_partial_bytes) {}

  // Records the frame, replacing an earlier registration of the same id and
  // discarding any chunks received for it (the frame restarts).
  void register_frame(const FrameMetadata& metadata);

  // The frame's bytes (chunks in chunk id order) when this chunk completes it;
  // nothing otherwise. A completed frame is forgotten: later chunks of its id are
  // dropped until it is registered again.
  std::optional<std::vector<std::uint8_t>> add_chunk(FrameChunk chunk);
  // The same, handing back the completed frame as its parts.
  std::optional<CompletedStreamFrame> add_chunk_parts(FrameChunk chunk);

  std::size_t registration_count() const { return registrations_.size(); }
  std::size_t partial_count() const { return partials_.size(); }
  // What the partial frames are charged now (slots and payload bytes).
  std::size_t partial_bytes() const { return partial_bytes_; }

 private:
  struct Registration {
    FrameMetadata metadata;
    std::uint64_t sequence = 0;  // order of registration, for forgetting the oldest
  };
  struct PartialFrame {
    std::uint64_t frame_id = 0;
    std::vector<std::vector<std::uint8_t>> slots;
    std::vector<bool> filled;
    std::uint16_t filled_count = 0;
    std::uint16_t total = 0;
    std::size_t byte_count = 0;  // payload bytes held
    std::size_t charged = 0;     // slots and payload, as counted in partial_bytes_
  };

  void forget(std::uint64_t frame_id);  // registration and partial data
  void drop_partial(std::uint64_t frame_id);
  PartialFrame* find_partial(std::uint64_t frame_id);
  // Abandons the oldest partial frames other than `keep` until `extra` more bytes
  // fit within the bound.
  void make_room(std::uint64_t keep, std::size_t extra);

  std::unordered_map<std::uint64_t, Registration> registrations_;
  std::map<std::uint64_t, std::uint64_t> registration_order_;  // sequence -> frame id
  std::uint64_t next_sequence_ = 0;
  // In the order the frames were started; the front is evicted first.
  std::vector<PartialFrame> partials_;
  std::size_t partial_bytes_ = 0;
  std::size_t max_partial_bytes_;
};

}  // namespace kio::p2p
