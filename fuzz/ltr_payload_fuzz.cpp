// Arbitrary bytes as a decrypted LTR event. Decoding must never crash, and a
// decoded event must write back to bytes that decode to the same event.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "install/persist/persist.h"

using namespace kio::install;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto event = decode_ltr_payload(std::span<const std::uint8_t>(data, size));
  if (!event) return 0;
  const auto written = serialize_ltr_payload(*event);
  if (!written) std::abort();
  const auto again = decode_ltr_payload(*written);
  if (!again || !(*again == *event)) std::abort();
  return 0;
}
