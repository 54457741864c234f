// The LTR's segment files: their dated names, where they are found and in
// which order they are read, which one receives the next frame, and the
// renaming of segments that older versions named otherwise.
//
// A segment is named after a local calendar day and a counter,
// "2026-01-05-00001.jsonl". New segments go to persist root/"ltr"/"current";
// reads take every "*.jsonl" file anywhere under persist root/"ltr".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/result.h"

namespace kio::install {

// A day of the proleptic Gregorian calendar; compares chronologically.
struct CalendarDate {
  std::int32_t year = 1970;
  std::uint8_t month = 1;
  std::uint8_t day = 1;
  auto operator<=>(const CalendarDate&) const = default;
};

// (date, counter) of a segment name; compares by date, then counter.
struct SegmentKey {
  CalendarDate date;
  std::uint32_t counter = 1;
  auto operator<=>(const SegmentKey&) const = default;
};

// "YYYY-MM-DD": three pieces of decimal digits (one leading "+" allowed, leading
// zeros allowed), a year within -9999..9999 and a day that exists.
std::optional<CalendarDate> parse_ymd(std::string_view text);
// "DATE-NNNNN.jsonl" (or ".JSONL") with a counter of exactly five characters, at least 1.
std::optional<SegmentKey> parse_ltr_jsonl_name(std::string_view name);
// "2026-01-05-00001.jsonl"; counters above 99999 get more digits.
std::string ltr_jsonl_file_name(const CalendarDate& date, std::uint32_t counter);

// FileStamp and stamp_of (common/file_io.h) tell whether a segment was written since.
using kio::FileStamp;
using kio::stamp_of;

// A segment file (or a directory of the segment tree) as a walk found it.
struct SegmentFile {
  std::filesystem::path path;
  FileStamp stamp;
  bool operator==(const SegmentFile&) const = default;
};

// Appends `path` if it is a file (links followed) named "*.jsonl", or every such
// file below it if it is a directory, in listing order. Anything else is skipped.
// A directory reached again through a link to one of its own ancestors is not
// walked a second time.
Result<void> collect_jsonl(const std::filesystem::path& path, std::vector<std::filesystem::path>& out);
// The same walk, keeping the status of each file it found and, when asked, of
// each directory it listed. It lists directories and reads the status of their
// entries, never the content of a file.
Result<void> collect_segment_files(const std::filesystem::path& path, std::vector<SegmentFile>& out,
                                   std::vector<SegmentFile>* directories = nullptr);
// Stable sort into segment order: by segment key where both names have one,
// otherwise by path, component by component.
void sort_segments(std::vector<std::filesystem::path>& segments);
void sort_segments(std::vector<SegmentFile>& segments);

// Renames segment files of the older naming schemes below persist root/"ltr"/"current"
// to dated names and removes the day/month/year directories that it empties.
Result<void> migrate_ltr_names(const std::filesystem::path& persist_root);
// The key that the renaming gives a file of an older name; nothing for a dated
// name or any other.
std::optional<SegmentKey> older_segment_key(const std::filesystem::path& file);

// The local calendar date now (the UTC date when the local offset is unknown).
CalendarDate local_today();
using LocalDateSource = std::function<CalendarDate()>;

// The segment that receives the next frame, chosen among `segments` (every
// segment of the log, in segment order, as reads see them) when the local date
// is `today`. It is the latest segment itself, or a new one in `segment_dir`
// that sorts after it, so the next frame is always read after every frame
// before it:
//   - the latest segment when it lies in `segment_dir`, is dated today or later
//     (a clock that went back) and holds less than the size limit;
//   - otherwise a new segment: counter 1 of today when the latest is dated
//     earlier, else the next counter of the latest segment's date;
//   - should that new name not sort last (names that are not segment names sort
//     by path), or the counter be exhausted, the latest segment itself,
//     wherever it lies and however full it is.
std::filesystem::path choose_segment(const std::vector<SegmentFile>& segments,
                                     const std::filesystem::path& segment_dir, const CalendarDate& today);

// The segment that receives the next frame, from a fresh walk of persist
// root/"ltr" (choose_segment). Creates the segment directory (0700) first.
Result<std::filesystem::path> today_segment_path(const std::filesystem::path& persist_root,
                                                 const CalendarDate& today);

}  // namespace kio::install
