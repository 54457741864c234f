// What the store keeps of its log between appends, in the manner of a
// write-ahead log's writer: where the chain ends, and each segment's status as
// it was when its frames were last verified.
//
// Before each append a walk of the segment tree (directory listings and file
// status, no content) shows whether anything else wrote the log since:
//   - nothing: the frame is sealed onto the tip it holds;
//   - only growth (the last segment grew, or segments were added that sort
//     after it): only the added frames are read and verified;
//   - anything else (a segment changed, removed, renamed, or added before the
//     last): the whole chain is walked again, as at open.
// So an append costs the same at any length of the log, and a log changed
// behind the store's back stops the append with the same message as ever.
#pragma once

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
  std::vector<SegmentFile> segments;  // in segment order, stamped as verified
  SegmentEnd last;                    // how the last of them ends
  ChainTip tip;
  // The latest listed BlobRecord of each blob id, once blob_records asked for
  // it; kept current by every append and every read of frames that others
  // added. Nothing while it is not wanted, or a payload did not open.
  std::optional<std::map<std::string, BlobRecord>> blobs;
};

// Whether a BlobRecord is one that blob_records lists: kind "persist-blob", an
// id that is a UUIDv7 and class "feature" or "bytes".
bool is_listed_blob(const BlobRecord& record);

}  // namespace kio::install::detail
