#include "p2p/chunking.h"

#include <algorithm>

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

FrameReassembler::PartialFrame* FrameReassembler::find_partial(std::uint64_t frame_id) {
  for (auto& partial : partials_) {
    if (partial.frame_id == frame_id) return &partial;
  }
  return nullptr;
}

void FrameReassembler::drop_partial(std::uint64_t frame_id) {
  std::erase_if(partials_, [this, frame_id](const PartialFrame& p) {
    if (p.frame_id != frame_id) return false;
    partial_bytes_ -= p.charged;
    return true;
  });
}

void FrameReassembler::make_room(std::uint64_t keep, std::size_t extra) {
  while (partial_bytes_ + extra > max_partial_bytes_) {
    const auto oldest = std::find_if(partials_.begin(), partials_.end(),
                                     [keep](const PartialFrame& p) { return p.frame_id != keep; });
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

void CompletedStreamFrame::append_to(std::vector<std::uint8_t>& out) const {
  for (const auto& part : parts_) out.insert(out.end(), part.begin(), part.end());
}

std::vector<std::uint8_t> CompletedStreamFrame::bytes() const {
  std::vector<std::uint8_t> out;
  out.reserve(size_);
  append_to(out);
  return out;
}

std::optional<std::vector<std::uint8_t>> FrameReassembler::add_chunk(FrameChunk chunk) {
  auto frame = add_chunk_parts(std::move(chunk));
  if (!frame) return std::nullopt;
  return frame->bytes();
}

std::optional<CompletedStreamFrame> FrameReassembler::add_chunk_parts(FrameChunk chunk) {
  if (chunk.total_chunks == 0 || chunk.chunk_id >= chunk.total_chunks || registrations_.empty()) {
    return std::nullopt;
  }
  auto registration = registrations_.find(chunk.frame_id);
  if (registration == registrations_.end()) return std::nullopt;

  PartialFrame* partial = find_partial(chunk.frame_id);
  if (partial == nullptr && partials_.size() >= MAX_PARTIAL_FRAMES) forget(partials_.front().frame_id);

  if (chunk.total_chunks != registration->second.metadata.total_chunks) {
    forget(chunk.frame_id);
    return std::nullopt;
  }

  if (partial != nullptr && partial->filled[chunk.chunk_id]) return std::nullopt;  // duplicate: the first copy stays
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

}  // namespace kio::p2p
