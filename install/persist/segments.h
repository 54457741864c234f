// The LTR's segment files: their dated names, where they are found and in
// which order they are read, which one receives the next frame, and the
// renaming of segments that older versions named otherwise.
//
// A segment is named after a local calendar day and a counter,
// "2026-01-05-00001.jsonl". New segments go to persist root/"ltr"/"current";
// reads take every "*.jsonl" file anywhere under persist root/"ltr".
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/result.h"

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

// Appends `path` if it is a file (links followed) named "*.jsonl", or every such
// file below it if it is a directory, in listing order. Anything else is skipped.
// A directory reached again through a link to one of its own ancestors is not
// walked a second time.
Result<void> collect_jsonl(const std::filesystem::path& path, std::vector<std::filesystem::path>& out);
// Stable sort into segment order: by segment key where both names have one,
// otherwise by path, component by component.
void sort_segments(std::vector<std::filesystem::path>& segments);

// Renames segment files of the older naming schemes below persist root/"ltr"/"current"
// to dated names and removes the day/month/year directories that it empties.
Result<void> migrate_ltr_names(const std::filesystem::path& persist_root);

// The local calendar date now (the UTC date when the local offset is unknown).
CalendarDate local_today();
using LocalDateSource = std::function<CalendarDate()>;

// The segment that receives the next frame when the local date is `today`.
// A segment directory that already holds a later-dated segment keeps receiving
// frames in that latest segment (or the next counter of its date once it is
// full), so that a clock that goes back never puts a frame before the chain's tip.
Result<std::filesystem::path> today_segment_path(const std::filesystem::path& persist_root,
                                                 const CalendarDate& today);

}  // namespace kio::install
