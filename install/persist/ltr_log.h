// The LTR as one log: its segment files under persist root/"ltr", read and
// verified from the start (as at open), followed as other writers grow them,
// and appended to, one sealed frame a line at the end of the chain.
//
// Between appends the log keeps, in the manner of a write-ahead log's writer,
// where the chain ends and each segment's status as it was when its frames
// were last verified. Before each append the status of the last segment and of
// every directory of the segment tree shows whether anything else wrote the
// log since (a file added, removed or renamed moves its directory's
// modification time). When a directory changed, the tree is listed again and
// every segment's status compared with the one verified.
//   - nothing changed: the frame is sealed onto the tip it holds;
//   - only growth (the last segment grew, the bytes before its verified end
//     still as they were, or segments were added that sort after it): only
//     the added frames are read and verified;
//   - anything else (a segment changed, removed, renamed, or added before the
//     last): the whole chain is walked again, as at open.
// So an append costs the same at any length of the log: a few status reads,
// and a listing of the tree once a new segment has begun. What these do not
// show (a segment before the last changed in place, or frames before the
// verified end of a segment that also grew) is found at the next open.
//
// The log knows frames, not what they carry: the caller seals each event onto
// the place the log gives it, and a LogFollower hears of every frame the log
// verifies, to keep what it builds from them current.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "install/crypto.h"
#include "install/persist/ltr_format.h"
#include "install/persist/ltr_reader.h"
#include "install/persist/segments.h"
#include "common/result.h"

namespace kio::install {

// Told about the frames a log verifies as it follows its segment files, so that
// what is built from them stays current with the log.
class LogFollower {
 public:
  // The whole chain is read again from its start: what was built goes, and
  // every frame follows.
  virtual void restart() = 0;
  // Frames that others added follow; those up to `verified` were seen before.
  virtual void resume(std::uint64_t verified) = 0;
  // A frame that verified, in chain order; its texts are valid only during the call.
  virtual void frame(const LtrFrameView& frame) = 0;
  // The read that began with restart or resume ended with every frame
  // verified; the error is the follower's own (the log stays verified).
  virtual Result<void> caught_up() = 0;
  // The log forgot what it verified (a failure): what was built goes too.
  virtual void forget() = 0;
  // Only a walk of the whole chain gives the follower what it needs.
  virtual bool wants_walk() const = 0;

 protected:
  ~LogFollower() = default;
};

// The whole log, read from the start.
struct LogRead {
  std::vector<SegmentFile> segments;     // in segment order, stamped as read
  std::vector<SegmentFile> directories;  // of the segment tree, stamped as listed
  SegmentEnd last;                       // of the last segment (a default one when there is none)
  ChainTip tip;
};
LtrResult<LogRead> read_log(const std::filesystem::path& persist_root, const FrameVisitor& visit = {});

// Seals the event of the frame at `sequence` that follows `previous_digest`.
using FrameSealer = std::function<Result<SealedEnvelope>(std::uint64_t sequence, std::string_view previous_digest)>;

class LtrLog {
 public:
  // A read-only log renames nothing (segments of older names stay as they are).
  LtrLog(std::filesystem::path persist_root, bool read_only)
      : root_(std::move(persist_root)), read_only_(read_only) {}

  // Replaces the source of the local date (tests, tools); the default is local_today.
  void set_local_date_source(LocalDateSource source) { today_ = std::move(source); }

  // Renames segments of older names (migrate_ltr_names); never on a read-only log.
  Result<void> migrate_names() const;
  // The segment that receives the next frame, from a fresh walk of the tree.
  Result<std::filesystem::path> today_segment_path() const;
  // The whole log, read and verified from the segment files, older names renamed first.
  LtrResult<LogRead> read(const FrameVisitor& visit = {}) const;

  // Brings what the log verified up to date with the segment files: verifies
  // what others added, or the whole chain when anything else changed.
  Result<void> refresh(LogFollower* follower = nullptr);
  // Refreshes, then appends the frame that `seal` seals at the end of the
  // chain; its sequence. A failure that may have left the files in a state
  // the log has not seen makes the next append walk the whole chain.
  Result<std::uint64_t> append(const FrameSealer& seal, LogFollower* follower = nullptr);
  // Appends `count` frames at once, each sealed by `seal` onto the one before,
  // with one write and one flush per segment they go to (the segments they
  // would go to appended one at a time): all of them or, on a failure, none.
  // The sequence of the last.
  Result<std::uint64_t> append(std::size_t count, const FrameSealer& seal, LogFollower* follower = nullptr);

 private:
  // What the log verified of its segment files.
  struct Verified {
    std::vector<SegmentFile> segments;     // in segment order, stamped as verified
    std::vector<SegmentFile> directories;  // of the segment tree, stamped as listed
    // List the tree again before the next append, whatever the directories say
    // (this writer began a segment, and another may have too).
    bool relist = false;
    SegmentEnd last;  // how the last segment ends
    ChainTip tip;
  };
  // How the files differ from what was verified, by status alone.
  struct Seen;

  Result<void> walk(LogFollower* follower);
  Result<Seen> look() const;
  Result<void> read_added(Seen seen, LogFollower* follower);
  void forget(LogFollower* follower);
  CalendarDate today() const { return today_ ? today_() : local_today(); }

  std::filesystem::path root_;
  bool read_only_ = false;
  LocalDateSource today_ = local_today;
  // Nothing until the chain has been verified, and again after any failure:
  // the next append then walks the whole chain.
  std::optional<Verified> verified_;
};

}  // namespace kio::install
