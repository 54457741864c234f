// Arbitrary bytes as a decrypted LTR event. Decoding must never crash; a decoded
// event must write back to bytes that decode to the same event; and the store's
// JSON reader must accept exactly the documents the JSON library accepts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "install/persist.h"
#include "install/persist_internal.h"

using namespace kio::install;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const bool ours = detail::read_json(text, detail::DuplicateMembers::last_wins).has_value();
  // The library also skips a leading byte order mark and stops at a zero byte as
  // at the end of the text; neither is JSON.
  const bool comparable = !text.starts_with("\xef\xbb\xbf") && text.find('\0') == std::string_view::npos;
  if (comparable && ours != nlohmann::json::accept(text.begin(), text.end())) {
    std::fprintf(stderr, "JSON readers disagree: ours %d\n", ours);
    std::abort();
  }
  if (detail::read_json(text, detail::DuplicateMembers::refuse).has_value() && !ours) std::abort();

  const auto event = decode_ltr_payload(std::span<const std::uint8_t>(data, size));
  if (!event) return 0;
  const auto written = serialize_ltr_payload(*event);
  if (!written) std::abort();
  const auto again = decode_ltr_payload(*written);
  if (!again || !(*again == *event)) std::abort();
  return 0;
}
