// Feature frame decoder: never crashes, and every frame it accepts is the one
// and only encoding of its contents.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "p2p/kiofeature_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  auto frame = kio::p2p::KioFeatureFrame::decode_exact(input);
  if (!frame) return 0;
  const auto encoded = kio::p2p::encode_feature_frame(frame->feature_id, frame->frame_value, frame->payload);
  if (!std::equal(encoded.begin(), encoded.end(), input.begin(), input.end())) std::abort();
  return 0;
}
