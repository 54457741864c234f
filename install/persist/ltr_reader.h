// Reading the LTR back: the segments under persist root/"ltr" in segment order,
// every line read as a frame and checked against the chain, one segment at a
// time, from its start or from where an earlier read of it stopped.
//
// A read stops at the first damage it meets, with the text that names it,
// except for one case: a last segment whose final line has no line feed and is
// not a frame. That line is the remains of an append that never returned, so
// reads ignore it and the next append cuts it off.
//
// Every failure of a read is turned into its message and its place in one
// place (LtrFault): the store's callers get the message alone, a tool that
// checks the log also the segment and line.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "install/persist/ltr_format.h"
#include "install/persist/segments.h"
#include "install/result.h"

namespace kio::install {

// The damage a read can find in the frames themselves.
enum class LtrDamage {
  corrupt_frame,      // a line that is not a frame
  unsupported_frame,  // another schema or version
  chain_broken,       // not the sequence or previous digest the chain expects
  sequence_overflow,  // the largest sequence there is
};

// Why a read of the log failed, and where.
struct LtrFault {
  std::string message;            // the text the store's callers get, exactly
  std::filesystem::path segment;  // the segment at fault; empty when none is (the tree cannot be listed)
  std::uint64_t line = 0;         // its 1-based line; 0 when the segment as a whole is at fault

  static LtrFault of(LtrDamage damage, const std::filesystem::path& segment, std::uint64_t line);
  // Any other failure (I/O, a payload that does not open), at a place if it has one.
  static LtrFault at(std::string message, const std::filesystem::path& segment = {}, std::uint64_t line = 0);

  // "segment:line: message", "segment: message" or the message alone.
  std::string located() const;
};

template <class T>
using LtrResult = std::expected<T, LtrFault>;

// Where the chain stands: frames so far and the digest of the last one.
struct ChainTip {
  std::uint64_t count = 0;
  std::string digest{LTR_GENESIS_DIGEST};
  bool operator==(const ChainTip&) const = default;
};

// Where a verified frame was read.
struct FramePlace {
  const std::filesystem::path& segment;
  std::uint64_t line;  // 1-based
};
// Sees each frame once it has verified; its texts are valid only during the call.
using FrameVisitor = std::function<void(const LtrFrameView&, const FramePlace&)>;

// How a segment ends, as far as a read of it went, and where a later read of
// it picks up once it has grown.
struct SegmentEnd {
  FileStamp stamp;  // of the file as read (its size is where the read ended)
  // After the last line that ends in a line feed; or at the start of a final
  // line without one, which a later read reads again.
  std::uint64_t resume_offset = 0;
  std::uint64_t resume_line = 1;  // the number of the line that starts there
  ChainTip resume_tip;            // the chain as it stands there
  // The bytes from the start of the last non-empty line before resume_offset
  // up to it, by their SHA-256: a later read first checks that they are still
  // there, so that a segment rewritten longer is not taken for one that grew.
  std::uint64_t boundary_offset = 0;
  std::string boundary_digest;  // empty when there is no such line
  // The final line has no line feed and is no frame: ignored, and cut off by
  // the next append.
  bool torn = false;
  // The final line is a frame without its line feed: the next append writes
  // the line feed first.
  bool unterminated_frame = false;
};

// Reads `segment` from `from.resume_offset` (all of it for a default SegmentEnd)
// to its end, checking every frame against `tip` and moving `tip` past it. A
// last segment may end torn; any other may not.
LtrResult<SegmentEnd> read_segment(const std::filesystem::path& segment, const SegmentEnd& from, bool last_segment,
                                   ChainTip& tip, const FrameVisitor& visit = {});
// Whether the bytes before `end.resume_offset` that `end` names are still in
// the segment as they were.
bool boundary_unchanged(const std::filesystem::path& segment, const SegmentEnd& end);

// The whole log, read from the start.
struct LogRead {
  std::vector<SegmentFile> segments;     // in segment order, stamped as read
  std::vector<SegmentFile> directories;  // of the segment tree, stamped as listed
  SegmentEnd last;                    // of the last segment (a default one when there is none)
  ChainTip tip;
};
LtrResult<LogRead> read_log(const std::filesystem::path& persist_root, const FrameVisitor& visit = {});

}  // namespace kio::install
