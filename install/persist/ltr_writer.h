// What the store keeps of its log between appends, in the manner of a
// write-ahead log's writer: where the chain ends, and each segment's status as
// it was when its frames were last verified.
//
// Before each append the status of the last segment and of every directory of
// the segment tree shows whether anything else wrote the log since (a file
// added, removed or renamed moves its directory's modification time). When a
// directory changed, the tree is listed again and every segment's status
// compared with the one verified.
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
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "install/persist/ltr_reader.h"
#include "install/persist/payloads.h"
#include "install/persist/segments.h"

namespace kio::install::detail {

struct LtrWriterState {
  // False until the chain has been verified, and again after any failure:
  // the next append then walks the whole chain.
  bool known = false;
  std::vector<SegmentFile> segments;     // in segment order, stamped as verified
  std::vector<SegmentFile> directories;  // of the segment tree, stamped as listed
  // List the tree again before the next append, whatever the directories say
  // (this writer began a segment, and another may have too).
  bool relist = false;
  SegmentEnd last;                       // how the last segment ends
  ChainTip tip;
  // The latest listed BlobRecord of each blob id, once blob_records asked for
  // it; kept current by every append and every read of frames that others
  // added. Nothing while it is not wanted, or a payload did not open.
  std::optional<std::map<std::string, BlobRecord>> blobs;
};

// How the log on disk differs from what a writer verified, by status alone.
enum class LogChange {
  none,
  growth,  // the last segment grew, or segments were added after it
  other,   // anything else: the whole chain is walked again
};
struct SegmentsSeen {
  LogChange change = LogChange::none;
  std::vector<SegmentFile> now;  // for growth: every segment, in segment order
  bool last_grew = false;        // the last verified segment grew (else only new ones came)
  std::size_t known = 0;         // how many segments were verified before
};

}  // namespace kio::install::detail
