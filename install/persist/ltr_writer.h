// Writing LTR segments: one line appended to a segment file and flushed, and a
// torn final line cut off. These know files and lines, not the chain: the log
// (ltr_log.h) decides what is written where.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "install/persist/segments.h"
#include "common/result.h"

namespace kio::install {

struct AppendedLine {
  FileStamp stamp;               // of the segment after the write
  bool line_feed_added = false;  // its last line lacked one
  bool raced = false;            // the segment grew by more than this line meanwhile
};

// Appends one line to a segment, creating it (0600) if needed; a segment whose
// last line lacks its line feed gets one first.
Result<AppendedLine> append_segment_line(const std::filesystem::path& segment, std::string_view line);

// Cuts a torn final line off, so that the segment ends with its last complete
// line (`length` bytes); gives the segment's status afterwards.
Result<FileStamp> cut_back(const std::filesystem::path& segment, std::uint64_t length);

}  // namespace kio::install
