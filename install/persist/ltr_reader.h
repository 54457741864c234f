// Reading the LTR back: every segment under persist root/"ltr" in segment
// order, every line read as a frame and checked against the chain.
//
// A read stops at the first damage it meets, with the text that names it,
// except for one case: a last segment whose final line has no line feed and is
// not a frame. That line is the remains of an append that never returned, so
// reads ignore it and the next append cuts it off.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "install/persist/ltr_format.h"
#include "install/result.h"

namespace kio::install::detail {

// Where the chain ends, and what an append must mend first.
struct ChainTip {
  std::uint64_t count = 0;  // frames in the chain
  std::string last_digest{LTR_GENESIS_DIGEST};
  // The last segment ends in a partial line, which starts at `torn_offset`.
  std::optional<std::filesystem::path> torn_segment;
  std::uint64_t torn_offset = 0;
};

// Renames segments of older names, then reads and verifies the whole chain,
// handing each frame to `visit` (when given) in chain order. The frame's texts
// are valid only during the call.
Result<ChainTip> read_chain(const std::filesystem::path& persist_root,
                            const std::function<void(const LtrFrameView&)>& visit = {});

}  // namespace kio::install::detail
