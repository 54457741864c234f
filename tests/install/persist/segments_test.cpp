// Segment names, finding and ordering segments, the segment of the next frame
// and the renaming of older segment names.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

std::string show(const std::optional<CalendarDate>& d) {
  if (!d) return "none";
  return std::to_string(d->year) + "/" + std::to_string(d->month) + "/" + std::to_string(d->day);
}

TEST(SegmentNames, ParseYmd) {
  const std::pair<const char*, const char*> cases[] = {
      {"2024-02-29", "2024/2/29"}, {"2023-02-29", "none"},   {"+2026-1-5", "2026/1/5"},
      {"2026-001-05", "2026/1/5"}, {"0002026-+01-05", "2026/1/5"},
      {"2000-02-29", "2000/2/29"}, {"1900-02-29", "none"},    {"0000-02-29", "0/2/29"},
      {"10000-01-01", "none"},     {"2026-13-01", "none"},    {"2026-00-01", "none"},
      {"2026-01-00", "none"},      {"2026-04-31", "none"},    {"2026-01-05-", "none"},
      {" 2026-01-05", "none"},     {"2026-01-05 ", "none"},   {"-2026-01-05", "none"},
      {"2026-01", "none"},         {"2026--05", "none"},      {"++2026-01-05", "none"},
      {"2026-0256-01", "none"},    {"4294967296-01-01", "none"}, {"2026-1a-05", "none"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(show(parse_ymd(text)), want) << text;
}

TEST(SegmentNames, ParseName) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-01-05-00001.jsonl", "2026/1/5#1"},  {"2026-01-05-00001.JSONL", "2026/1/5#1"},
      {"2026-1-5-00042.jsonl", "2026/1/5#42"},   {"2026-01-05-+0001.jsonl", "2026/1/5#1"},
      {"2026-01-05-99999.jsonl", "2026/1/5#99999"},
      {"2026-01-05-00001.Jsonl", "none"},        {"2026-01-05-00000.jsonl", "none"},
      {"2026-01-05-0001.jsonl", "none"},         {"2026-01-05-000001.jsonl", "none"},
      {"2026-02-30-00001.jsonl", "none"},        {"2026-01-05-1-234.jsonl", "none"},
      {"2026-01-05-00001.json", "none"},         {".jsonl", "none"},
      {"jsonl", "none"},                         {"2026-01-05.jsonl", "none"},
  };
  for (const auto& [name, want] : cases) {
    const auto key = parse_ltr_jsonl_name(name);
    EXPECT_EQ(key ? show(key->date) + "#" + std::to_string(key->counter) : "none", want) << name;
  }
}

TEST(SegmentNames, FileNamesRoundTrip) {
  EXPECT_EQ(ltr_jsonl_file_name({2026, 1, 5}, 1), "2026-01-05-00001.jsonl");
  EXPECT_EQ(ltr_jsonl_file_name({2026, 12, 31}, 42), "2026-12-31-00042.jsonl");
  EXPECT_EQ(ltr_jsonl_file_name({7, 3, 9}, 99999), "0007-03-09-99999.jsonl");
  // Six counter digits make a name that no longer parses.
  EXPECT_EQ(ltr_jsonl_file_name({2026, 1, 5}, 123456), "2026-01-05-123456.jsonl");
  EXPECT_FALSE(parse_ltr_jsonl_name(ltr_jsonl_file_name({2026, 1, 5}, 123456)));
  const auto back = parse_ltr_jsonl_name(ltr_jsonl_file_name({2024, 2, 29}, 7));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, (SegmentKey{{2024, 2, 29}, 7}));
}

TEST(CollectJsonl, WalksFilesDirectoriesAndLinks) {
  test::TempDir dir;
  const fs::path root = dir / "ltr";
  for (const char* name : {"a.jsonl", "a.JSONL", ".jsonl", "b.txt", "sub/c.jsonl", "sub/deeper/d.jsonl", "..jsonl"}) {
    test::write_file(root / name, "");
  }
  test::write_file(dir / "elsewhere/e.jsonl", "");
  fs::create_directory_symlink(dir / "elsewhere", root / "linked");
  fs::create_directory_symlink(root, root / "sub" / "loop");  // back up the tree
  fs::create_symlink(dir / "missing.jsonl", root / "dangling.jsonl");
  fs::create_directory(root / "dir.jsonl");

  std::vector<fs::path> found;
  ASSERT_TRUE(collect_jsonl(root, found));
  std::vector<std::string> names;
  for (const auto& p : found) names.push_back(p.lexically_relative(root).string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"..jsonl", "a.jsonl", "linked/e.jsonl", "sub/c.jsonl",
                                             "sub/deeper/d.jsonl"}));

  std::vector<fs::path> single;
  ASSERT_TRUE(collect_jsonl(root / "a.jsonl", single));
  EXPECT_EQ(single, std::vector<fs::path>{root / "a.jsonl"});
  std::vector<fs::path> none;
  ASSERT_TRUE(collect_jsonl(dir / "nothing-here", none));
  EXPECT_TRUE(none.empty());
}

TEST(SegmentOrder, KeysFirstThenPaths) {
  std::vector<fs::path> segments = {
      "/s/ltr/current/2026-01-06-00001.jsonl", "/s/ltr/old/2026-01-05-00002.jsonl",
      "/s/ltr/current/2026-1-5-00002.jsonl",  // same key as the one before: found order kept
      "/s/ltr/current/2026-01-05-00010.jsonl", "/s/ltr/b/zz.jsonl", "/s/ltr/a/zz.jsonl",
      "/s/ltr/current/2025-12-31-00003.jsonl",
  };
  sort_segments(segments);
  EXPECT_EQ(segments, (std::vector<fs::path>{
                          "/s/ltr/a/zz.jsonl", "/s/ltr/b/zz.jsonl", "/s/ltr/current/2025-12-31-00003.jsonl",
                          "/s/ltr/old/2026-01-05-00002.jsonl", "/s/ltr/current/2026-1-5-00002.jsonl",
                          "/s/ltr/current/2026-01-05-00010.jsonl", "/s/ltr/current/2026-01-06-00001.jsonl"}));

  // Keys and paths can disagree in a cycle (c < a by key, a < b < c by path):
  // sorting still yields every path once.
  std::vector<fs::path> cycle = {"/a/2026-01-05-00001.jsonl", "/b/zz.jsonl", "/c/2026-01-01-00001.jsonl"};
  for (int i = 0; i < 6; ++i) cycle.push_back(cycle[static_cast<std::size_t>(i % 3)]);
  sort_segments(cycle);
  EXPECT_EQ(std::count(cycle.begin(), cycle.end(), fs::path("/b/zz.jsonl")), 3);
  EXPECT_EQ(cycle.size(), 9u);
}

class SegmentChoice : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(store.current); }
  std::string choose(CalendarDate today) {
    auto path = today_segment_path(store.persist, today);
    if (!path) return "!" + path.error();
    EXPECT_EQ(path->parent_path(), store.current);
    return path->filename().string();
  }
  void segment(const std::string& name, std::size_t size = 10) { test::write_file(store.segment(name), std::string(size, '\n')); }
  Store store;
};

TEST_F(SegmentChoice, HighestCounterOfTodayUntilFull) {
  EXPECT_EQ(choose({2026, 1, 5}), "2026-01-05-00001.jsonl");
  segment("2026-01-05-00001.jsonl");
  segment("2026-01-05-00007.jsonl", LTR_SEGMENT_LIMIT - 1);
  segment("2026-01-04-00009.jsonl");  // earlier days do not count
  EXPECT_EQ(choose({2026, 1, 5}), "2026-01-05-00007.jsonl");
  segment("2026-01-05-00007.jsonl", LTR_SEGMENT_LIMIT);
  EXPECT_EQ(choose({2026, 1, 5}), "2026-01-05-00008.jsonl");
  EXPECT_EQ(choose({2026, 1, 6}), "2026-01-06-00001.jsonl");
  // Reads never see a ".JSONL" file, so the choice does not either.
  segment("2026-1-6-00003.JSONL");
  EXPECT_EQ(choose({2026, 1, 6}), "2026-01-06-00001.jsonl");
  // A segment spelled otherwise goes on receiving frames under its own name:
  // a second file of the same key would be read before or after it depending
  // on the directory listing.
  segment("2026-1-6-00003.jsonl");
  EXPECT_EQ(choose({2026, 1, 6}), "2026-1-6-00003.jsonl");
  segment("2026-1-6-00003.jsonl", LTR_SEGMENT_LIMIT);
  EXPECT_EQ(choose({2026, 1, 6}), "2026-01-06-00004.jsonl");
  EXPECT_EQ(test::file_mode(store.current), 0700u);
}

TEST_F(SegmentChoice, NeverGoesBehindALaterSegment) {
  segment("2026-01-05-00001.jsonl");
  segment("2026-01-10-00002.jsonl");
  EXPECT_EQ(choose({2026, 1, 8}), "2026-01-10-00002.jsonl");
  segment("2026-01-10-00002.jsonl", LTR_SEGMENT_LIMIT);
  EXPECT_EQ(choose({2026, 1, 8}), "2026-01-10-00003.jsonl");
  EXPECT_EQ(choose({2026, 1, 11}), "2026-01-11-00001.jsonl");
}

TEST_F(SegmentChoice, FailsWhereTheSegmentDirectoryCannotBe) {
  fs::remove_all(store.persist / "ltr");
  test::write_file(store.persist / "ltr", "not a directory");
  EXPECT_EQ(choose({2026, 1, 5}), "!Not a directory (os error 20)");
}

TEST(Migration, RenamesOlderNames) {
  // name (relative to current) -> name after the migration
  const std::pair<const char*, const char*> cases[] = {
      {"2026-01-31 - 09.15-JSONL.jsonl", "2026-01-31-00001.jsonl"},
      {"2026-01-31 - 09.15-JSONL3.jsonl", "2026-01-31-00003.jsonl"},
      {"2026-2-3-ab-cd-JSONL+12.jsonl", "2026-02-03-00012.jsonl"},
      {"2026-01-31 - 09.15-JSONL1.jsonl", "2026-01-31 - 09.15-JSONL1.jsonl"},    // suffix 1: not this form
      {"2026-01-31 - 09.15-JSONL 2.jsonl", "2026-01-31 - 09.15-JSONL 2.jsonl"},  // space in the suffix
      {"2026-01-31 - 9.15-JSONL.jsonl", "2026-01-31 - 9.15-JSONL.jsonl"},        // four bytes of time
      {"2026/01/31/third-party-secrets-2.jsonl", "2026-01-31-00002.jsonl"},
      {"2026/1/5/third-party-secrets-+7.jsonl", "2026-01-05-00007.jsonl"},
      {"2026/01/31/third-party-secrets-0.jsonl", "2026/01/31/third-party-secrets-0.jsonl"},
      {"2026/01/third-party-secrets-2.jsonl", "2026/01/third-party-secrets-2.jsonl"},  // no day directory
      {"2026/01/31/third-party-secrets-.jsonl", "2026/01/31/third-party-secrets-.jsonl"},
      {"2026-1-5-00001.jsonl", "2026-1-5-00001.jsonl"},  // already a dated name
  };
  for (const auto& [before, after] : cases) {
    Store store;
    test::write_file(store.current / before, "payload");
    ASSERT_TRUE(migrate_ltr_names(store.persist)) << before;
    EXPECT_TRUE(fs::exists(store.current / after)) << before;
    EXPECT_EQ(test::read_file(store.current / after), "payload") << before;
  }
}

TEST(Migration, PrunesEmptiedDayDirectories) {
  Store store;
  test::write_file(store.current / "2026/01/31/third-party-secrets-2.jsonl", "x");
  test::write_file(store.current / "2026/01/31/.DS_Store", "");
  test::write_file(store.current / "2026/02/01/third-party-secrets-1.jsonl", "y");
  test::write_file(store.current / "2026/02/01/notes.txt", "kept");
  ASSERT_TRUE(migrate_ltr_names(store.persist));
  EXPECT_FALSE(fs::exists(store.current / "2026/01"));
  EXPECT_TRUE(fs::exists(store.current / "2026/02/01/notes.txt"));
  EXPECT_EQ(test::read_file(store.current / "2026-01-31-00002.jsonl"), "x");
  EXPECT_EQ(test::read_file(store.current / "2026-02-01-00001.jsonl"), "y");
  EXPECT_TRUE(fs::exists(store.current));
}

TEST(Migration, StopsAtANameAlreadyTaken) {
  Store store;
  test::write_file(store.current / "2026-01-31-00002.jsonl", "dated");
  test::write_file(store.current / "2026/01/31/third-party-secrets-2.jsonl", "legacy");
  const auto migrated = migrate_ltr_names(store.persist);
  ASSERT_FALSE(migrated);
  EXPECT_EQ(migrated.error(), "LTR file already uses the dated JSONL name");
  EXPECT_EQ(test::read_file(store.current / "2026-01-31-00002.jsonl"), "dated");
  EXPECT_EQ(test::read_file(store.current / "2026/01/31/third-party-secrets-2.jsonl"), "legacy");
  // The collision blocks the store until the file is moved away.
  auto opened = Persist::open(store.persist, store.key);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), "LTR file already uses the dated JSONL name");
}

TEST(Migration, TwoOlderNamesForOneDatedName) {
  Store store;
  test::write_file(store.current / "2026-01-31 - 09.15-JSONL.jsonl", "a");
  test::write_file(store.current / "2026/01/31/third-party-secrets-1.jsonl", "b");
  const auto migrated = migrate_ltr_names(store.persist);
  ASSERT_FALSE(migrated);
  EXPECT_EQ(migrated.error(), "LTR file already uses the dated JSONL name");
  // Exactly one of them (the first found) has the dated name now.
  const std::string moved = test::read_file(store.current / "2026-01-31-00001.jsonl");
  EXPECT_TRUE(moved == "a" ? fs::exists(store.current / "2026/01/31/third-party-secrets-1.jsonl")
                           : fs::exists(store.current / "2026-01-31 - 09.15-JSONL.jsonl"));
}

TEST(Migration, PicksUpFilesThatAppearWhileOpen) {
  Store store;
  Persist persist = store.open();
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(1)));
  // An older tool drops the same segment under its per-day name.
  fs::create_directories(store.current / "2026/01/05");
  fs::rename(store.segment("2026-01-05-00001.jsonl"), store.current / "2026/01/05/third-party-secrets-1.jsonl");
  const auto frames = persist.read_frames();
  ASSERT_TRUE(frames) << frames.error();
  EXPECT_EQ(frames->size(), 1u);
  EXPECT_TRUE(fs::exists(store.segment("2026-01-05-00001.jsonl")));
  EXPECT_FALSE(fs::exists(store.current / "2026"));
}

}  // namespace
}  // namespace kio::install
