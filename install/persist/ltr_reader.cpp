#include "install/persist/ltr_reader.h"

#include <limits>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/utf8.h"
#include "install/persist/persist.h"
#include "install/persist/segments.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view CORRUPT_FRAME = "corrupt LTR frame";
constexpr std::string_view UNSUPPORTED_FRAME = "unsupported LTR frame";
constexpr std::string_view CHAIN_BROKEN = "LTR chain is broken";
constexpr std::string_view SEQUENCE_OVERFLOW = "LTR sequence overflow";

}  // namespace

Result<detail::ChainTip> detail::read_chain(const fs::path& persist_root,
                                            const std::function<void(const LtrFrameView&)>& visit) {
  if (auto migrated = migrate_ltr_names(persist_root); !migrated) return std::unexpected(migrated.error());
  std::vector<fs::path> segments;
  if (auto collected = collect_jsonl(persist_root / "ltr", segments); !collected) {
    return std::unexpected(collected.error());
  }
  sort_segments(segments);

  ChainTip tip;
  std::uint64_t expected_sequence = 1;
  FrameLineReader lines;
  std::string content;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    if (auto read = read_file(segments[s], content); !read) return std::unexpected(read.error());
    if (!is_valid_utf8(content)) return fail(std::string(INVALID_UTF8_TEXT));
    const std::string_view text = content;
    const bool last_segment = s + 1 == segments.size();
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t feed = text.find('\n', pos);
      const bool terminated = feed != std::string_view::npos;
      std::string_view line = text.substr(pos, (terminated ? feed : text.size()) - pos);
      if (terminated && line.ends_with('\r')) line.remove_suffix(1);
      const std::size_t line_start = pos;
      pos = terminated ? feed + 1 : text.size();
      if (line.empty()) continue;

      const auto frame = lines.read(line);
      if (!frame) {
        if (!terminated && last_segment) {
          tip.torn_segment = segments[s];
          tip.torn_offset = line_start;
          break;
        }
        return fail(std::string(CORRUPT_FRAME));
      }
      if (!is_supported(*frame)) return fail(std::string(UNSUPPORTED_FRAME));
      if (frame->sequence != expected_sequence || frame->previous_digest != tip.last_digest) {
        return fail(std::string(CHAIN_BROKEN));
      }
      tip.last_digest = lines.digest();
      if (expected_sequence == std::numeric_limits<std::uint64_t>::max()) return fail(std::string(SEQUENCE_OVERFLOW));
      ++expected_sequence;
      if (visit) visit(*frame);
    }
  }
  tip.count = expected_sequence - 1;
  return tip;
}

Result<std::vector<LtrFrame>> Persist::read_frames() {
  std::vector<LtrFrame> frames;
  auto tip = detail::read_chain(root_, [&](const LtrFrameView& frame) { frames.push_back(frame_of(frame)); });
  if (!tip) return std::unexpected(tip.error());
  return frames;
}

}  // namespace kio::install
