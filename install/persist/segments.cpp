#include "install/persist/segments.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <functional>
#include <limits>
#include <utility>

#include "common/file_io.h"
#include "common/utf8.h"
#include "install/paths.h"
#include "install/persist/ltr_format.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view DS_STORE = ".DS_Store";
constexpr std::string_view FORM_B_PREFIX = "third-party-secrets-";

// Decimal digits after at most one leading "+"; nothing on overflow.
template <class T>
std::optional<T> parse_unsigned(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  T value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

bool is_leap_year(std::int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(std::int32_t year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : days[month - 1];
}

// Splits at the first three "-": the date part (up to the third "-") and the
// rest, which may hold further "-".
struct DatedStem {
  std::string_view date;
  std::string_view rest;
};
std::optional<DatedStem> split_dated_stem(std::string_view stem) {
  std::size_t pos = 0;
  std::size_t third = std::string_view::npos;
  for (int k = 0; k < 3; ++k) {
    const std::size_t dash = stem.find('-', pos);
    if (dash == std::string_view::npos) return std::nullopt;
    third = dash;
    pos = dash + 1;
  }
  return DatedStem{stem.substr(0, third), stem.substr(third + 1)};
}

std::optional<std::string_view> jsonl_stem(std::string_view name) {
  if (name.size() < 6) return std::nullopt;
  const std::string_view ending = name.substr(name.size() - 6);
  if (ending != ".jsonl" && ending != ".JSONL") return std::nullopt;
  return name.substr(0, name.size() - 6);
}

bool has_jsonl_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "jsonl";
}

std::string name_of(const fs::path& path) { return path.filename().native(); }

// Dated names written with a "-JSONL" marker, such as "2026-01-31 - 09.15-JSONL3.jsonl".
std::optional<SegmentKey> older_marker_name(std::string_view name) {
  const auto stem = jsonl_stem(name);
  if (!stem) return std::nullopt;
  std::string joined;
  for (std::size_t i = 0; i < stem->size();) {
    if (stem->substr(i, 3) == " - ") {
      joined.push_back('-');
      i += 3;
    } else {
      joined.push_back((*stem)[i++]);
    }
  }
  const std::size_t marker = joined.rfind("-JSONL");
  if (marker == std::string::npos) return std::nullopt;
  const std::string_view prefix = std::string_view(joined).substr(0, marker);
  const std::string_view suffix = std::string_view(joined).substr(marker + 6);
  const auto parts = split_dated_stem(prefix);
  if (!parts || parts->rest.size() != 5) return std::nullopt;
  const auto date = parse_ymd(parts->date);
  if (!date) return std::nullopt;
  if (suffix.empty()) return SegmentKey{*date, 1};
  const auto counter = parse_unsigned<std::uint32_t>(suffix);
  if (!counter || *counter < 2) return std::nullopt;
  return SegmentKey{*date, *counter};
}

// Per-day directories: YEAR/MONTH/DAY/third-party-secrets-N.jsonl.
std::optional<SegmentKey> older_day_directory_name(const fs::path& file, std::string_view name) {
  if (name.size() < FORM_B_PREFIX.size() + 6 || !name.starts_with(FORM_B_PREFIX) || !name.ends_with(".jsonl")) {
    return std::nullopt;
  }
  const auto counter =
      parse_unsigned<std::uint32_t>(name.substr(FORM_B_PREFIX.size(), name.size() - FORM_B_PREFIX.size() - 6));
  if (!counter || *counter < 1) return std::nullopt;
  std::string date_text;
  fs::path dir = file.parent_path();
  for (int level = 0; level < 3; ++level) {
    const std::string component = dir.filename().native();
    if (component.empty() || component == "." || component == ".." || !is_valid_utf8(component)) {
      return std::nullopt;
    }
    date_text = level == 0 ? component : component + "-" + date_text;
    dir = dir.parent_path();
  }
  const auto date = parse_ymd(date_text);
  if (!date) return std::nullopt;
  return SegmentKey{*date, *counter};
}

Result<void> collect_into(const fs::path& path, std::vector<SegmentFile>& out, std::vector<SegmentFile>* directories,
                          std::vector<std::pair<dev_t, ino_t>>& walking) {
  // Only a name that is gone is passed over: a segment that cannot be examined
  // (an I/O error, a refused permission) fails the listing, or the chain would
  // be read without it and the next append would start it over.
  const auto st = file_system().status(path, /*follow_links=*/true);
  if (!st) {
    if (st.error().is(std::errc::no_such_file_or_directory) || st.error().is(std::errc::not_a_directory)) return {};
    return std::unexpected(st.error());
  }
  if (S_ISREG(st->st_mode)) {
    if (has_jsonl_extension(name_of(path))) out.push_back(SegmentFile{path, stamp_of(*st)});
    return {};
  }
  if (!S_ISDIR(st->st_mode)) return {};
  const std::pair<dev_t, ino_t> id{st->st_dev, st->st_ino};
  if (std::find(walking.begin(), walking.end(), id) != walking.end()) return {};  // a link back up the tree
  auto names = list_directory(path);
  if (!names) return std::unexpected(names.error());
  if (directories != nullptr) directories->push_back(SegmentFile{path, stamp_of(*st)});
  walking.push_back(id);
  for (const auto& name : *names) {
    if (auto r = collect_into(path / name, out, directories, walking); !r) return r;
  }
  walking.pop_back();
  return {};
}

// Removes the directories that a move emptied (and their ".DS_Store"), from
// `dir` up to but not including `current`.
void prune_emptied(fs::path dir, const fs::path& current) {
  while (!same_path(dir, current)) {
    const auto names = list_directory(dir);
    if (!names) return;
    for (const auto& name : *names) {
      if (name != DS_STORE) return;
    }
    (void)file_system().unlink(dir / DS_STORE);
    (void)file_system().remove_directory(dir);
    const fs::path parent = dir.parent_path();
    if (parent.empty() || same_path(parent, dir)) return;
    dir = parent;
  }
}

// Stable merge sort. The segment comparison mixes two orders and need not be
// transitive for odd trees, so no algorithm that relies on a consistent
// comparison (and could then step outside the range) is used.
template <class T, class Less>
void merge_sort(std::vector<T>& items, std::vector<T>& scratch, std::size_t lo, std::size_t hi, const Less& less) {
  if (hi - lo < 2) return;
  const std::size_t mid = lo + (hi - lo) / 2;
  merge_sort(items, scratch, lo, mid, less);
  merge_sort(items, scratch, mid, hi, less);
  std::size_t i = lo, j = mid, k = lo;
  while (i < mid && j < hi) scratch[k++] = less(items[j], items[i]) ? std::move(items[j++]) : std::move(items[i++]);
  while (i < mid) scratch[k++] = std::move(items[i++]);
  while (j < hi) scratch[k++] = std::move(items[j++]);
  for (k = lo; k < hi; ++k) items[k] = std::move(scratch[k]);
}

std::optional<SegmentKey> key_of(const fs::path& path) {
  const std::string name = name_of(path);
  if (!is_valid_utf8(name)) return std::nullopt;
  return parse_ltr_jsonl_name(name);
}

// Segment order of anything that has a path (`path_of` gives it).
template <class T, class PathOf>
void sort_into_segment_order(std::vector<T>& segments, const PathOf& path_of) {
  struct Item {
    T segment;
    std::optional<SegmentKey> key;
  };
  std::vector<Item> items;
  items.reserve(segments.size());
  for (auto& segment : segments) {
    auto key = key_of(path_of(segment));
    items.push_back(Item{std::move(segment), key});
  }
  const auto less = [&](const Item& a, const Item& b) {
    if (a.key && b.key) return *a.key < *b.key;
    return compare_paths(path_of(a.segment), path_of(b.segment)) < 0;
  };
  std::vector<Item> scratch(items.size());
  merge_sort(items, scratch, 0, items.size(), less);
  for (std::size_t i = 0; i < items.size(); ++i) segments[i] = std::move(items[i].segment);
}

}  // namespace

std::optional<CalendarDate> parse_ymd(std::string_view text) {
  std::string_view pieces[3];
  std::size_t count = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dash = text.find('-', start);
    if (count == 3) return std::nullopt;
    pieces[count++] = text.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start);
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (count != 3) return std::nullopt;
  const auto year = parse_unsigned<std::uint32_t>(pieces[0]);
  const auto month = parse_unsigned<std::uint8_t>(pieces[1]);
  const auto day = parse_unsigned<std::uint8_t>(pieces[2]);
  if (!year || !month || !day) return std::nullopt;
  if (*year > 9999 || *month < 1 || *month > 12) return std::nullopt;
  const auto y = static_cast<std::int32_t>(*year);
  if (*day < 1 || *day > days_in_month(y, *month)) return std::nullopt;
  return CalendarDate{y, *month, *day};
}

std::optional<SegmentKey> parse_ltr_jsonl_name(std::string_view name) {
  const auto stem = jsonl_stem(name);
  if (!stem) return std::nullopt;
  const auto parts = split_dated_stem(*stem);
  if (!parts || parts->rest.size() != 5) return std::nullopt;
  const auto date = parse_ymd(parts->date);
  if (!date) return std::nullopt;
  const auto counter = parse_unsigned<std::uint32_t>(parts->rest);
  if (!counter || *counter < 1) return std::nullopt;
  return SegmentKey{*date, *counter};
}

std::string ltr_jsonl_file_name(const CalendarDate& date, std::uint32_t counter) {
  char text[64];
  const long year = date.year;
  std::snprintf(text, sizeof text, "%s%04ld-%02u-%02u-%05u.jsonl", year < 0 ? "-" : "", year < 0 ? -year : year,
                static_cast<unsigned>(date.month), static_cast<unsigned>(date.day), static_cast<unsigned>(counter));
  return text;
}

Result<void> collect_segment_files(const fs::path& path, std::vector<SegmentFile>& out,
                                   std::vector<SegmentFile>* directories) {
  std::vector<std::pair<dev_t, ino_t>> walking;
  return collect_into(path, out, directories, walking);
}

Result<void> collect_jsonl(const fs::path& path, std::vector<fs::path>& out) {
  std::vector<SegmentFile> files;
  if (auto collected = collect_segment_files(path, files); !collected) return collected;
  for (auto& file : files) out.push_back(std::move(file.path));
  return {};
}

void sort_segments(std::vector<fs::path>& segments) { sort_into_segment_order(segments, std::identity()); }

void sort_segments(std::vector<SegmentFile>& segments) {
  sort_into_segment_order(segments, [](const SegmentFile& s) -> const fs::path& { return s.path; });
}

std::optional<SegmentKey> older_segment_key(const fs::path& file) {
  const std::string name = name_of(file);
  if (!is_valid_utf8(name) || parse_ltr_jsonl_name(name)) return std::nullopt;
  auto key = older_marker_name(name);
  if (!key) key = older_day_directory_name(file, name);
  return key;
}

Result<void> migrate_ltr_names(const fs::path& persist_root) {
  const fs::path current = persist_root / "ltr" / "current";
  if (!is_directory_path(current)) return {};
  std::vector<fs::path> files;
  if (auto collected = collect_jsonl(current, files); !collected) return collected;
  for (const fs::path& file : files) {
    const auto key = older_segment_key(file);
    if (!key) continue;
    if (auto made = detail::create_private_dir(current); !made) return made;
    const fs::path target = current / ltr_jsonl_file_name(key->date, key->counter);
    if (same_path(target, file)) continue;
    if (stat_path(target)) return fail("LTR file already uses the dated JSONL name");
    if (auto renamed = file_system().rename(file, target); !renamed) return renamed;
    // The new name must survive a crash as much as an appended frame does.
    if (auto synced = flush_directory(current); !synced) return synced;
    if (auto synced = flush_directory(file.parent_path()); !synced) return synced;
    prune_emptied(file.parent_path(), current);
  }
  return {};
}

CalendarDate local_today() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (::localtime_r(&now, &parts) == nullptr) ::gmtime_r(&now, &parts);
  return CalendarDate{parts.tm_year + 1900, static_cast<std::uint8_t>(parts.tm_mon + 1),
                      static_cast<std::uint8_t>(parts.tm_mday)};
}

fs::path choose_segment(const std::vector<SegmentFile>& segments, const fs::path& segment_dir,
                        const CalendarDate& today) {
  if (segments.empty()) return segment_dir / ltr_jsonl_file_name(today, 1);
  const SegmentFile& latest = segments.back();
  const auto key = key_of(latest.path);
  const bool in_segment_dir = same_path(parent_directory(latest.path), segment_dir);
  if (key && key->date >= today && in_segment_dir && latest.stamp.size < LTR_SEGMENT_LIMIT) return latest.path;

  // A new segment; it has to sort after every segment there is.
  SegmentKey next{today, 1};
  if (key && key->date >= today) {
    if (key->counter == std::numeric_limits<std::uint32_t>::max()) return latest.path;
    next = SegmentKey{key->date, key->counter + 1};
  }
  const fs::path fresh = segment_dir / ltr_jsonl_file_name(next.date, next.counter);
  std::vector<fs::path> order;
  order.reserve(segments.size() + 1);
  for (const auto& segment : segments) {
    // A segment of that key, however spelled, would be read before or after the
    // new one depending on the directory listing.
    if (same_path(segment.path, fresh) || key_of(segment.path) == next) return latest.path;
    order.push_back(segment.path);
  }
  order.push_back(fresh);
  sort_segments(order);
  return order.back() == fresh ? fresh : latest.path;
}

Result<fs::path> today_segment_path(const fs::path& persist_root, const CalendarDate& today) {
  const fs::path dir = persist_root / "ltr" / "current";
  if (auto made = detail::create_private_dir(dir); !made) return std::unexpected(made.error());
  std::vector<SegmentFile> segments;
  if (auto collected = collect_segment_files(persist_root / "ltr", segments); !collected) {
    return std::unexpected(collected.error());
  }
  sort_segments(segments);
  return choose_segment(segments, dir, today);
}

}  // namespace kio::install
