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
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/file_io.h"
#include "common/secret.h"
#include "p2p/error.h"

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
// What the reassembler holds of partial frames in memory at most, in bytes (see
// FrameReassembler); larger frames are kept on disk while they arrive.
inline constexpr std::size_t MAX_PARTIAL_BYTES = std::size_t{18} << 20;

struct FrameChunk {
  WipedBytes payload;  // decrypted stream bytes: wiped when released
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

// Partial frames too large for memory, on disk: one file in the spool
// directory, unlinked as soon as it is made (while it has a name it is a
// ".spool-" file, which start-up removes after a crash), so it goes away with
// its last user. Each such frame has a region of MAX_STREAM_FRAME_SIZE bytes in
// which chunk k lies at k x MAX_CHUNK_SIZE; the file is sparse, and a region's
// blocks are given back when its frame completes or is dropped. Neighbouring
// chunks are written together.
class FrameSpill {
 public:
  static P2PResult<std::shared_ptr<FrameSpill>> create(const std::filesystem::path& dir);

  std::size_t acquire_region();
  // Discards the region's data and gives its blocks back to the file system.
  void release_region(std::size_t region);
  P2PResult<void> write(std::size_t region, std::uint16_t chunk_id, std::span<const std::uint8_t> payload);
  // Exactly out.size() bytes at `offset` within the region.
  P2PResult<void> read(std::size_t region, std::uint64_t offset, std::span<std::uint8_t> out);

 private:
  explicit FrameSpill(Fd fd) : fd_(std::move(fd)) {}
  P2PResult<void> flush_pending();

  Fd fd_;
  std::vector<bool> in_use_;
  WipedBytes pending_;  // chunks not yet written, contiguous, all in one region
  std::size_t pending_region_ = 0;
  std::uint64_t pending_offset_ = 0;  // within the file
};

// A stream frame whose chunks have all arrived: held as its chunks' payloads,
// or, for a frame kept on disk, as its region of the spill file (given back when
// this is dropped). The owner takes the bytes in pieces, so that a frame need
// not be copied whole.
class CompletedStreamFrame {
 public:
  // The pieces of one call, in order; they stay valid during the call only.
  using Sink = std::function<P2PResult<void>(std::span<const std::span<const std::uint8_t>>)>;

  CompletedStreamFrame(std::vector<WipedBytes> parts, std::size_t size) : parts_(std::move(parts)), size_(size) {}
  CompletedStreamFrame(std::shared_ptr<FrameSpill> spill, std::size_t region, std::vector<std::uint16_t> lengths,
                       std::size_t size)
      : spill_(std::move(spill)), region_(region), lengths_(std::move(lengths)), size_(size) {}
  CompletedStreamFrame(CompletedStreamFrame&& other) noexcept;
  CompletedStreamFrame& operator=(CompletedStreamFrame&&) = delete;
  CompletedStreamFrame(const CompletedStreamFrame&) = delete;
  ~CompletedStreamFrame();

  std::size_t size() const { return size_; }
  bool on_disk() const { return spill_ != nullptr; }
  // Hands the bytes, in chunk id order, to `sink` in one or more calls; a frame
  // on disk is read back a block at a time. The first error ends it.
  P2PResult<void> read(const Sink& sink) const;
  // The whole frame in one buffer.
  P2PResult<std::vector<std::uint8_t>> bytes() const;

 private:
  std::vector<WipedBytes> parts_;
  std::shared_ptr<FrameSpill> spill_;
  std::size_t region_ = 0;
  std::vector<std::uint16_t> lengths_;
  std::size_t size_;
};

class FrameReassembler {
 public:
  // At most this many frames may be partly received; a chunk that would start
  // one more abandons the oldest started one.
  static constexpr std::size_t MAX_PARTIAL_FRAMES = 16;
  // Partial frames in memory are bounded in bytes: each is charged its slots when
  // it starts and every payload byte it holds. A chunk that would pass the bound
  // abandons the oldest other partial frames until it fits. With a spill
  // directory, a frame whose full size would take more than half the bound (so
  // that the next frame could not start beside it) is kept on disk instead,
  // whatever its size; without one, a frame that cannot fit even alone is
  // abandoned at once (it could never complete).
  static constexpr std::size_t SLOT_COST = sizeof(WipedBytes) + 1;
  // Registrations kept; registering one more forgets the oldest (and any chunks
  // received for it). A sender registers each frame just before its chunks, so
  // only a peer that floods registrations ever reaches this.
  static constexpr std::size_t MAX_REGISTRATIONS = 4096;

  explicit FrameReassembler(std::size_t max_partial_bytes = MAX_PARTIAL_BYTES, std::filesystem::path spill_dir = {})
      : max_partial_bytes_(max_partial_bytes), spill_dir_(std::move(spill_dir)) {}

  // Records the frame, replacing an earlier registration of the same id and
  // discarding any chunks received for it (the frame restarts).
  void register_frame(const FrameMetadata& metadata);

  // The frame's bytes (chunks in chunk id order) when this chunk completes it;
  // nothing otherwise. A completed frame is forgotten: later chunks of its id are
  // dropped until it is registered again. A refused frame is dropped here too.
  std::optional<std::vector<std::uint8_t>> add_chunk(FrameChunk chunk);
  // The same, handing back the completed frame as it is held. A frame on disk
  // that cannot be kept (the spill file cannot be written, or its chunks would
  // pass the spill limit) is abandoned and the reason returned, naming the frame.
  P2PResult<std::optional<CompletedStreamFrame>> add_chunk_parts(FrameChunk chunk);

  // What the frames on disk may hold together, in payload bytes.
  void set_spill_limit(std::uint64_t bytes) { spill_limit_ = bytes; }

  std::size_t registration_count() const { return registrations_.size(); }
  std::size_t partial_count() const { return partials_.size(); }
  // What the partial frames in memory are charged now (slots and payload bytes).
  std::size_t partial_bytes() const { return partial_bytes_; }
  // Payload bytes of the partial frames on disk.
  std::uint64_t spilled_bytes() const { return spilled_bytes_; }

 private:
  struct Registration {
    FrameMetadata metadata;
    std::uint64_t sequence = 0;  // order of registration, for forgetting the oldest
  };
  static constexpr std::size_t NO_REGION = static_cast<std::size_t>(-1);
  struct PartialFrame {
    std::uint64_t frame_id = 0;
    std::vector<WipedBytes> slots;        // in memory
    std::vector<std::uint16_t> lengths;   // on disk: each slot's payload length
    std::size_t region = NO_REGION;       // on disk: its region of the spill file
    std::vector<bool> filled;
    std::uint16_t filled_count = 0;
    std::uint16_t total = 0;
    std::size_t byte_count = 0;  // payload bytes held
    std::size_t charged = 0;     // in memory: slots and payload, as counted in partial_bytes_
    bool on_disk() const { return region != NO_REGION; }
  };

  void forget(std::uint64_t frame_id);  // registration and partial data
  void drop_partial(std::uint64_t frame_id);
  void release(PartialFrame& partial);
  PartialFrame* find_partial(std::uint64_t frame_id);
  bool belongs_on_disk(std::uint16_t total_chunks) const;
  // Abandons the oldest in-memory partial frames other than `keep` until `extra`
  // more bytes fit within the bound.
  void make_room(std::uint64_t keep, std::size_t extra);
  P2PResult<std::optional<CompletedStreamFrame>> add_on_disk(FrameChunk& chunk, PartialFrame* partial);

  std::unordered_map<std::uint64_t, Registration> registrations_;
  std::map<std::uint64_t, std::uint64_t> registration_order_;  // sequence -> frame id
  std::uint64_t next_sequence_ = 0;
  // In the order the frames were started; the front is evicted first.
  std::vector<PartialFrame> partials_;
  std::size_t partial_bytes_ = 0;
  std::size_t max_partial_bytes_;
  std::filesystem::path spill_dir_;  // empty: every frame is kept in memory
  std::shared_ptr<FrameSpill> spill_;
  std::uint64_t spilled_bytes_ = 0;
  std::uint64_t spill_limit_ = static_cast<std::uint64_t>(-1);
};

}  // namespace kio::p2p
