#include "p2p/chunking.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "common/file_io.h"
#include "common/file_system.h"

namespace kio::p2p {

namespace {

// The header fields and the payload length, checked in order.
std::expected<std::uint32_t, const char*> decode_header(std::span<const std::uint8_t> bytes, FrameChunk& chunk) {
  if (bytes.size() < MIN_CHUNK_MESSAGE_SIZE) return std::unexpected("Chunk buffer too small");
  const std::uint8_t* p = bytes.data();
  chunk.frame_id = load_le<std::uint64_t>(p);
  chunk.chunk_id = load_le<std::uint16_t>(p + 8);
  chunk.total_chunks = load_le<std::uint16_t>(p + 10);
  const std::uint32_t length = load_le<std::uint32_t>(p + 12);
  if (chunk.total_chunks == 0) return std::unexpected("total_chunks cannot be zero");
  if (chunk.chunk_id >= chunk.total_chunks) return std::unexpected("chunk_id must be < total_chunks");
  if (length > MAX_CHUNK_SIZE) return std::unexpected("chunk payload exceeds MAX_CHUNK_SIZE");
  if (bytes.size() - CHUNK_HEADER_SIZE < length) return std::unexpected("chunk payload truncated");
  return length;
}

}  // namespace

std::expected<FrameChunk, const char*> FrameChunk::deserialize(std::span<const std::uint8_t> bytes) {
  FrameChunk chunk;
  auto length = decode_header(bytes, chunk);
  if (!length) return std::unexpected(length.error());
  chunk.payload.assign(bytes.data() + CHUNK_HEADER_SIZE, bytes.data() + CHUNK_HEADER_SIZE + *length);
  return chunk;
}

std::expected<FrameChunk, const char*> FrameChunk::deserialize(std::vector<std::uint8_t>&& message) {
  FrameChunk chunk;
  auto length = decode_header(message, chunk);
  if (!length) return std::unexpected(length.error());
  message.erase(message.begin(), message.begin() + CHUNK_HEADER_SIZE);
  message.resize(*length);
  chunk.payload = std::move(message);
  return chunk;
}

Bytes encode_chunk(std::uint64_t frame_id, std::uint16_t chunk_id, std::uint16_t total_chunks,
                   std::span<const std::uint8_t> payload) {
  Bytes out;
  out.reserve(std::max(CHUNK_HEADER_SIZE + payload.size(), MIN_CHUNK_MESSAGE_SIZE));
  append_le<std::uint64_t>(out, frame_id);
  append_le<std::uint16_t>(out, chunk_id);
  append_le<std::uint16_t>(out, total_chunks);
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  if (out.size() < MIN_CHUNK_MESSAGE_SIZE) out.resize(MIN_CHUNK_MESSAGE_SIZE, 0);
  return out;
}

std::optional<FrameMetadata> FrameMetadata::from_control_payload(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != FRAME_REGISTRATION_SIZE || bytes[0] != FRAME_REGISTRATION_MARKER) return std::nullopt;
  FrameMetadata metadata;
  metadata.frame_id = load_le<std::uint64_t>(bytes.data() + 1);
  metadata.total_chunks = load_le<std::uint16_t>(bytes.data() + 9);
  metadata.value = load_le<std::uint32_t>(bytes.data() + 11);
  if (metadata.total_chunks == 0) return std::nullopt;
  return metadata;
}

Bytes encode_registration(std::uint64_t frame_id, std::uint16_t total_chunks, std::uint32_t value) {
  Bytes out;
  out.reserve(FRAME_REGISTRATION_SIZE);
  out.push_back(FRAME_REGISTRATION_MARKER);
  append_le<std::uint64_t>(out, frame_id);
  append_le<std::uint16_t>(out, total_chunks);
  append_le<std::uint32_t>(out, value);
  return out;
}

// ---- FrameSpill

namespace {

constexpr std::size_t kCombinedWrite = 64 * 1024;
// Chunks read back at a time from a frame on disk (about 1 MiB).
constexpr std::size_t kReadBackChunks = 784;

std::string frame_name(std::uint64_t frame_id, std::uint16_t total_chunks) {
  return "frame " + std::to_string(frame_id) + " of " + std::to_string(total_chunks) + " chunks";
}

}  // namespace

P2PResult<std::shared_ptr<FrameSpill>> FrameSpill::create(const std::filesystem::path& dir) {
  const std::filesystem::path base = dir.empty() ? std::filesystem::temp_directory_path() : dir;
  std::string path = (base / ".spool-XXXXXX").string();
  auto fd = file_system().create_unique(path);  // mode 0600
  if (!fd) return p2p_fail(P2PError::io(std::move(fd.error())));
  // Nameless from here on: the file goes when the last frame is done with it.
  (void)file_system().unlink(path);
  return std::shared_ptr<FrameSpill>(new FrameSpill(std::move(*fd)));
}

std::size_t FrameSpill::acquire_region() {
  const auto free = std::find(in_use_.begin(), in_use_.end(), false);
  const std::size_t region = static_cast<std::size_t>(free - in_use_.begin());
  if (free == in_use_.end()) {
    in_use_.push_back(true);
  } else {
    *free = true;
  }
  return region;
}

void FrameSpill::release_region(std::size_t region) {
  if (!pending_.empty() && pending_region_ == region) {
    pending_.wipe();
    pending_.clear();
  }
  // Gives the blocks back; should the file system not punch holes, the region's
  // bytes are overwritten by its next frame and go with the file.
  file_system().release_range(fd_.get(), std::uint64_t{region} * MAX_STREAM_FRAME_SIZE, MAX_STREAM_FRAME_SIZE);
  if (region < in_use_.size()) in_use_[region] = false;
}

P2PResult<void> FrameSpill::flush_pending() {
  if (pending_.empty()) return {};
  auto written = write_all_at(fd_.get(), pending_offset_, pending_);
  pending_.wipe();
  pending_.clear();
  if (!written) return p2p_fail(P2PError::io(std::move(written.error())));
  return {};
}

P2PResult<void> FrameSpill::write(std::size_t region, std::uint16_t chunk_id, std::span<const std::uint8_t> payload) {
  const std::uint64_t offset = std::uint64_t{region} * MAX_STREAM_FRAME_SIZE + std::uint64_t{chunk_id} * MAX_CHUNK_SIZE;
  const bool follows = !pending_.empty() && pending_region_ == region && pending_offset_ + pending_.size() == offset;
  if (!follows || pending_.size() + payload.size() > kCombinedWrite) {
    if (auto flushed = flush_pending(); !flushed) return flushed;
    if (pending_.capacity() < kCombinedWrite) pending_.reserve(kCombinedWrite);
    pending_region_ = region;
    pending_offset_ = offset;
  }
  pending_.insert(pending_.end(), payload.begin(), payload.end());
  return {};
}

P2PResult<void> FrameSpill::read(std::size_t region, std::uint64_t offset, std::span<std::uint8_t> out) {
  if (auto flushed = flush_pending(); !flushed) return flushed;
  if (auto got = read_exact_at(fd_.get(), std::uint64_t{region} * MAX_STREAM_FRAME_SIZE + offset, out); !got) {
    return p2p_fail(P2PError::io(got.error()));
  }
  return {};
}

// ---- CompletedStreamFrame

CompletedStreamFrame::CompletedStreamFrame(CompletedStreamFrame&& other) noexcept
    : parts_(std::move(other.parts_)),
      spill_(std::move(other.spill_)),
      region_(other.region_),
      lengths_(std::move(other.lengths_)),
      size_(other.size_) {}

CompletedStreamFrame::~CompletedStreamFrame() {
  if (spill_) spill_->release_region(region_);
}

P2PResult<void> CompletedStreamFrame::read(const Sink& sink) const {
  std::vector<std::span<const std::uint8_t>> pieces;
  if (!spill_) {
    pieces.reserve(parts_.size());
    for (const auto& part : parts_) pieces.emplace_back(part);
    return sink(pieces);
  }
  WipedBytes block;
  block.reserve(std::min(lengths_.size(), kReadBackChunks) * MAX_CHUNK_SIZE);
  for (std::size_t first = 0; first < lengths_.size(); first += kReadBackChunks) {
    const std::size_t end = std::min(lengths_.size(), first + kReadBackChunks);
    // Every chunk but the block's last is read with the gap its slot leaves.
    const std::size_t span = (end - 1 - first) * MAX_CHUNK_SIZE + lengths_[end - 1];
    block.resize(span);
    if (auto got = spill_->read(region_, std::uint64_t{first} * MAX_CHUNK_SIZE, block); !got) return got;
    pieces.clear();
    for (std::size_t k = first; k < end; ++k) {
      const std::uint8_t* at = block.data() + (k - first) * MAX_CHUNK_SIZE;
      // Full chunks run on into the next one: one piece for all of them.
      if (!pieces.empty() && pieces.back().data() + pieces.back().size() == at) {
        pieces.back() = std::span<const std::uint8_t>(pieces.back().data(), pieces.back().size() + lengths_[k]);
      } else {
        pieces.emplace_back(at, lengths_[k]);
      }
    }
    if (auto taken = sink(pieces); !taken) return taken;
  }
  return {};
}

P2PResult<std::vector<std::uint8_t>> CompletedStreamFrame::bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(size_);
  auto read_all = read([&out](std::span<const std::span<const std::uint8_t>> pieces) -> P2PResult<void> {
    for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
    return {};
  });
  if (!read_all) return p2p_fail(std::move(read_all.error()));
  return out;
}

// ---- FrameReassembler

FrameReassembler::PartialFrame* FrameReassembler::find_partial(std::uint64_t frame_id) {
  for (auto& partial : partials_) {
    if (partial.frame_id == frame_id) return &partial;
  }
  return nullptr;
}

void FrameReassembler::release(PartialFrame& partial) {
  if (partial.on_disk()) {
    spilled_bytes_ -= partial.byte_count;
    spill_->release_region(partial.region);
    partial.region = NO_REGION;
  } else {
    partial_bytes_ -= partial.charged;
  }
}

void FrameReassembler::drop_partial(std::uint64_t frame_id) {
  std::erase_if(partials_, [this, frame_id](PartialFrame& p) {
    if (p.frame_id != frame_id) return false;
    release(p);
    return true;
  });
}

void FrameReassembler::make_room(std::uint64_t keep, std::size_t extra) {
  while (partial_bytes_ + extra > max_partial_bytes_) {
    const auto oldest = std::find_if(partials_.begin(), partials_.end(), [keep](const PartialFrame& p) {
      return p.frame_id != keep && !p.on_disk();
    });
    if (oldest == partials_.end()) return;
    forget(oldest->frame_id);
  }
}

void FrameReassembler::forget(std::uint64_t frame_id) {
  if (auto it = registrations_.find(frame_id); it != registrations_.end()) {
    registration_order_.erase(it->second.sequence);
    registrations_.erase(it);
  }
  drop_partial(frame_id);
}

void FrameReassembler::register_frame(const FrameMetadata& metadata) {
  forget(metadata.frame_id);
  if (registrations_.size() >= MAX_REGISTRATIONS) forget(registration_order_.begin()->second);
  const std::uint64_t sequence = next_sequence_++;
  registrations_.emplace(metadata.frame_id, Registration{metadata, sequence});
  registration_order_.emplace(sequence, metadata.frame_id);
}

bool FrameReassembler::belongs_on_disk(std::uint16_t total_chunks) const {
  return !spill_dir_.empty() && std::size_t{total_chunks} * (MAX_CHUNK_SIZE + SLOT_COST) > max_partial_bytes_ / 2;
}

std::optional<std::vector<std::uint8_t>> FrameReassembler::add_chunk(FrameChunk chunk) {
  auto frame = add_chunk_parts(std::move(chunk));
  if (!frame || !*frame) return std::nullopt;
  auto bytes = (*frame)->bytes();
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

P2PResult<std::optional<CompletedStreamFrame>> FrameReassembler::add_chunk_parts(FrameChunk chunk) {
  if (chunk.total_chunks == 0 || chunk.chunk_id >= chunk.total_chunks || registrations_.empty()) {
    return std::nullopt;
  }
  auto registration = registrations_.find(chunk.frame_id);
  if (registration == registrations_.end()) return std::nullopt;
  // Checked before anything else is given up for this chunk: a chunk that will
  // not be kept costs no other frame its place.
  if (chunk.total_chunks != registration->second.metadata.total_chunks) {
    forget(chunk.frame_id);
    return std::nullopt;
  }
  PartialFrame* partial = find_partial(chunk.frame_id);
  if (partial != nullptr && partial->filled[chunk.chunk_id]) return std::nullopt;  // duplicate: the first copy stays

  if (partial == nullptr && partials_.size() >= MAX_PARTIAL_FRAMES) {
    forget(partials_.front().frame_id);
  }
  if (partial != nullptr ? partial->on_disk() : belongs_on_disk(chunk.total_chunks)) {
    partial = find_partial(chunk.frame_id);  // eviction may have moved it
    return add_on_disk(chunk, partial);
  }

  const std::size_t slots_cost = partial == nullptr ? std::size_t{chunk.total_chunks} * SLOT_COST : 0;
  const std::size_t extra = slots_cost + chunk.payload.size();
  if ((partial == nullptr ? 0 : partial->charged) + extra > max_partial_bytes_) {
    forget(chunk.frame_id);  // it could never complete, and evicts nothing
    return std::nullopt;
  }
  make_room(chunk.frame_id, extra);
  partial = find_partial(chunk.frame_id);  // making room may have moved it

  if (partial == nullptr) {
    PartialFrame fresh;
    fresh.frame_id = chunk.frame_id;
    fresh.total = chunk.total_chunks;
    fresh.slots.resize(chunk.total_chunks);
    fresh.filled.resize(chunk.total_chunks, false);
    fresh.charged = slots_cost;
    partial_bytes_ += slots_cost;
    partials_.push_back(std::move(fresh));
    partial = &partials_.back();
  }

  partial->filled[chunk.chunk_id] = true;
  partial->byte_count += chunk.payload.size();
  partial->charged += chunk.payload.size();
  partial_bytes_ += chunk.payload.size();
  partial->slots[chunk.chunk_id] = std::move(chunk.payload);
  if (++partial->filled_count < partial->total) return std::nullopt;

  CompletedStreamFrame frame(std::move(partial->slots), partial->byte_count);
  forget(chunk.frame_id);
  return frame;
}

P2PResult<std::optional<CompletedStreamFrame>> FrameReassembler::add_on_disk(FrameChunk& chunk,
                                                                             PartialFrame* partial) {
  const std::uint64_t id = chunk.frame_id;
  const std::uint16_t total = chunk.total_chunks;
  const std::uint64_t held = partial == nullptr ? 0 : partial->byte_count;
  if (spilled_bytes_ + chunk.payload.size() > spill_limit_) {
    const std::uint64_t others = spilled_bytes_ - held;
    forget(id);
    return p2p_fail(P2PError::other(
        frame_name(id, total) + " refused: its chunks pass the " + std::to_string(spill_limit_) +
        " bytes left of the announced stream (it holds " + std::to_string(held) + ", other partial frames " +
        std::to_string(others) + ")"));
  }
  if (!spill_) {
    auto created = FrameSpill::create(spill_dir_);
    if (!created) {
      forget(id);
      return p2p_fail(P2PError::io(frame_name(id, total) + " could not be kept on disk: " + created.error().text()));
    }
    spill_ = std::move(*created);
  }
  if (partial == nullptr) {
    PartialFrame fresh;
    fresh.frame_id = id;
    fresh.total = total;
    fresh.lengths.resize(total, 0);
    fresh.filled.resize(total, false);
    fresh.region = spill_->acquire_region();
    partials_.push_back(std::move(fresh));
    partial = &partials_.back();
  }
  if (auto written = spill_->write(partial->region, chunk.chunk_id, chunk.payload); !written) {
    forget(id);
    return p2p_fail(P2PError::io(frame_name(id, total) + " could not be kept on disk: " + written.error().text()));
  }
  partial->filled[chunk.chunk_id] = true;
  partial->lengths[chunk.chunk_id] = static_cast<std::uint16_t>(chunk.payload.size());
  partial->byte_count += chunk.payload.size();
  spilled_bytes_ += chunk.payload.size();
  if (++partial->filled_count < partial->total) return std::nullopt;

  // The region goes with the completed frame, which gives it back when dropped.
  CompletedStreamFrame frame(spill_, partial->region, std::move(partial->lengths), partial->byte_count);
  spilled_bytes_ -= partial->byte_count;
  partial->region = NO_REGION;
  partial->charged = 0;
  forget(id);
  return frame;
}

}  // namespace kio::p2p
