// Chunk and registration decoders: never crash; an accepted chunk re-encodes
// to the bytes it came from (up to the ignored tail); then the input's chunk is
// run through a reassembler with a matching registration.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "p2p/chunking.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kio::p2p;
  const std::span<const std::uint8_t> input(data, size);
  if (auto metadata = FrameMetadata::from_control_payload(input)) {
    const auto encoded = encode_registration(metadata->frame_id, metadata->total_chunks, metadata->value);
    if (!std::equal(encoded.begin(), encoded.end(), input.begin(), input.end())) std::abort();
  }
  auto chunk = FrameChunk::deserialize(input);
  if (!chunk) return 0;
  if (chunk->payload.size() > MAX_CHUNK_SIZE || chunk->chunk_id >= chunk->total_chunks) std::abort();
  const auto encoded = encode_chunk(chunk->frame_id, chunk->chunk_id, chunk->total_chunks, chunk->payload);
  const std::size_t used = CHUNK_HEADER_SIZE + chunk->payload.size();
  if (encoded.size() < used || !std::equal(encoded.begin(), encoded.begin() + used, input.begin())) std::abort();

  FrameReassembler reassembler;
  reassembler.register_frame({chunk->frame_id, chunk->total_chunks, 0});
  auto frame = reassembler.add_chunk(*chunk);
  if (frame.has_value() != (chunk->total_chunks == 1)) std::abort();
  if (frame && *frame != chunk->payload) std::abort();
  return 0;
}
