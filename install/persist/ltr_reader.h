// Reading LTR segments: one segment file at a time, every line read as a frame
// and checked against the chain, from the segment's start or from where an
// earlier read of it stopped.
//
// A read stops at the first damage it meets, and tells its reporter what and
// where, except for one case: a last segment whose final line has no line feed
// and is not a frame. That line is the remains of an append that never
// returned, so the read passes over it (the reporter hears of it as a torn
// tail) and the next append cuts it off.
//
// The reader knows nothing of the store: it is given an open file and the name
// to report its damage under. Every damage turns into its message and its place
// in one place (LtrFault): the store's callers get the message alone, a tool
// that checks the log also the segment and line.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/persist/ltr_format.h"
#include "install/persist/segments.h"
#include "common/result.h"

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

// Told about each damaged or torn part of a segment that a read meets.
class CorruptionReporter {
 public:
  // The read stopped at `fault`: a frame that is damaged, or bytes that could not be read.
  virtual void corruption(const LtrFault& fault) = 0;
  // A final line of a last segment without its line feed that is no frame:
  // passed over, as what an append left that never returned.
  virtual void torn_tail(const std::filesystem::path& segment, std::uint64_t line) = 0;

 protected:
  ~CorruptionReporter() = default;
};

// A reporter that keeps the first fault it is told of and lets torn tails pass.
class FirstFault final : public CorruptionReporter {
 public:
  void corruption(const LtrFault& fault) override {
    if (!fault_) fault_ = fault;
  }
  void torn_tail(const std::filesystem::path&, std::uint64_t) override {}
  // The fault; only after a read that stopped, which always tells why.
  LtrFault take() { return std::move(fault_).value(); }

 private:
  std::optional<LtrFault> fault_;
};

// Reads one segment file, open for reading, that its faults name `segment`.
class SegmentReader {
 public:
  SegmentReader(const std::filesystem::path& segment, int fd, CorruptionReporter& reporter)
      : segment_(segment), fd_(fd), reporter_(reporter) {}

  // Reads from `from.resume_offset` (all of it for a default SegmentEnd) to the
  // end of the file, checking every frame against `tip` and moving `tip` past
  // it. A last segment may end torn; any other may not. Nothing when the read
  // stopped at damage, which the reporter was told of.
  std::optional<SegmentEnd> read(const SegmentEnd& from, bool last_segment, ChainTip& tip,
                                 const FrameVisitor& visit = {});
  // Whether the bytes before `end.resume_offset` that `end` names are still in
  // the file as they were.
  bool boundary_unchanged(const SegmentEnd& end);

 private:
  const std::filesystem::path& segment_;
  int fd_;
  CorruptionReporter& reporter_;
};

}  // namespace kio::install
