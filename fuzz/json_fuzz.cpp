// Arbitrary bytes as a JSON document. The install's reader must accept exactly
// the documents the JSON library accepts, build the same tree from them, and
// write that tree back byte for byte as the library would.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "install/json.h"

using namespace kio::install;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto tree = json::read_value(text, json::Duplicates::last_wins);
  const bool ours = tree.has_value();
  if (ours != json::read_record(text, json::Duplicates::last_wins).has_value()) std::abort();
  if (json::read_value(text, json::Duplicates::refuse).has_value() && !ours) std::abort();
  if (json::read_record(text, json::Duplicates::refuse).has_value() && !ours) std::abort();

  // The library also skips a leading byte order mark and stops at a zero byte as
  // at the end of the text; neither is JSON.
  const bool comparable = !text.starts_with("\xef\xbb\xbf") && text.find('\0') == std::string_view::npos;
  if (!comparable) return 0;
  if (ours != json::Json::accept(text.begin(), text.end())) {
    std::fprintf(stderr, "JSON readers disagree: ours %d\n", ours);
    std::abort();
  }
  if (!ours) return 0;
  const auto theirs = json::Json::parse(text.begin(), text.end());
  if (*tree != theirs) std::abort();
  for (const auto layout : {json::Layout::compact, json::Layout::indented}) {
    const auto written = json::write_value(*tree, layout);
    if (!written || *written != theirs.dump(layout == json::Layout::indented ? 2 : -1)) {
      std::fprintf(stderr, "JSON writers disagree\n");
      std::abort();
    }
  }
  return 0;
}
