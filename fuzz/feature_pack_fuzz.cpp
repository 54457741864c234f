// Feature pack decoder: never crashes; whatever decodes encodes, and the
// canonical bytes decode to the same pack and encode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "install/crypto.h"
#include "install/feature_pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kio::install::FeaturePack;
  auto pack = FeaturePack::decode(std::span<const std::uint8_t>(data, size));
  if (!pack) return 0;
  auto encoded = FeaturePack::encode(*pack);
  if (!encoded) std::abort();
  auto again = FeaturePack::decode(kio::as_bytes(*encoded));
  if (!again || !(*again == *pack)) std::abort();
  auto reencoded = FeaturePack::encode(*again);
  if (!reencoded || *reencoded != *encoded) std::abort();
  return 0;
}
