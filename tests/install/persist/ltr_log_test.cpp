// The log that keeps the chain's tip between appends: frames other writers
// add, damage done behind its back, torn tails it saw, and the segment it
// chooses when the clock goes back.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

const std::string DAY5 = "2026-01-05-00001.jsonl";
const std::string DAY6 = "2026-01-06-00001.jsonl";

std::size_t frames_in(Persist& store) {
  const auto frames = store.read_frames();
  EXPECT_TRUE(frames) << frames.error();
  return frames ? frames->size() : 0;
}

void append(Persist& store, std::uint64_t sequence) {
  const auto appended = store.append_ltr_payload(sample_record(static_cast<int>(sequence)));
  ASSERT_TRUE(appended) << appended.error();
  ASSERT_EQ(*appended, sequence);
}

// Adds bytes at the end of a file, as another writer's append would.
void append_raw(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

// Flips one character of the ciphertext of a frame line.
std::string altered(std::string line) {
  const std::size_t at = line.find("ciphertext_b64") + 20;
  line[at] = line[at] == 'A' ? 'B' : 'A';
  return line;
}

// The frame line that a second writer of this install (same key and founder,
// its own copy of the log) appends as frame `sequence` onto `segment_text`.
std::string foreign_frame(const std::string& segment_text, std::uint64_t sequence) {
  Store twin;
  test::write_file(twin.segment(DAY5), segment_text);
  Persist writer = twin.open();
  EXPECT_EQ(writer.append_ltr_payload(sample_record(static_cast<int>(sequence))).value(), sequence);
  return lines_of(twin.segment(DAY5)).back();
}

TEST(LtrLog, ChainsOntoWhatAnotherWriterAppended) {
  struct Case {
    const char* what;
    std::function<void(Store&, Persist& other)> write;  // adds frames 2 and 3
  };
  const Case cases[] = {
      {"same segment", [](Store&, Persist& other) {
         append(other, 2);
         append(other, 3);
       }},
      {"a new segment of a later day", [](Store&, Persist& other) {
         other.set_local_date_source([] { return CalendarDate{2026, 1, 6}; });
         append(other, 2);
         append(other, 3);
       }},
      {"one frame in each", [](Store&, Persist& other) {
         append(other, 2);
         other.set_local_date_source([] { return CalendarDate{2026, 1, 6}; });
         append(other, 3);
       }},
      {"a new segment after a full one", [](Store& s, Persist& other) {
         append(other, 2);
         test::write_file(s.segment(DAY5), test::read_file(s.segment(DAY5)) + std::string(LTR_SEGMENT_LIMIT, '\n'));
         append(other, 3);
         EXPECT_TRUE(fs::exists(s.segment("2026-01-05-00002.jsonl")));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist mine = s.open();
    Persist other = s.open();
    append(mine, 1);
    c.write(s, other);
    append(mine, 4);
    append(mine, 5);
    EXPECT_EQ(frames_in(mine), 5u);
    Persist later = s.open();
    append(later, 6);
  }
}

TEST(LtrLog, DamageBehindItsBackStopsTheNextAppend) {
  using Edit = std::function<void(Store&, Persist& other)>;
  const auto edit_lines = [](const fs::path& segment, const std::function<void(std::vector<std::string>&)>& change) {
    auto lines = lines_of(segment);
    change(lines);
    rewrite_in_place(segment, join_lines(lines));
  };
  struct Case {
    const char* what;
    Edit edit;
    const char* error;
    // Only the last segment's status is read before each append, and of a
    // segment that grew only what was added: a segment before it changed in
    // place (same file, no new name), or the frames before the last one of a
    // segment that also grew, show at the next open.
    bool found_at_open = false;
  };
  const Case cases[] = {
      {"an earlier segment replaced by an altered copy",
       [&](Store& s, Persist&) {
         auto lines = lines_of(s.segment(DAY5));
         lines[0] = altered(lines[0]);
         test::write_file(s.current / "copy", join_lines(lines));
         fs::rename(s.current / "copy", s.segment(DAY5));
       },
       "LTR chain is broken"},
      {"frame altered in place in an earlier segment",
       [&](Store& s, Persist&) { edit_lines(s.segment(DAY5), [](auto& l) { l[0] = altered(l[0]); }); },
       "LTR chain is broken", true},
      {"frame altered in the last segment",
       [&](Store& s, Persist&) { edit_lines(s.segment(DAY6), [](auto& l) { l[0] = altered(l[0]); }); },
       "LTR chain is broken"},
      {"the writer's last frame altered, and another writer grew its segment",
       [&](Store& s, Persist& other) {
         append(other, 5);
         edit_lines(s.segment(DAY6), [](auto& l) { l[1] = altered(l[1]); });
       },
       "LTR chain is broken"},
      {"an earlier frame of the last segment altered in place, and another writer grew it",
       [&](Store& s, Persist& other) {
         append(other, 5);
         edit_lines(s.segment(DAY6), [](auto& l) { l[0] = altered(l[0]); });
       },
       "LTR chain is broken", true},
      {"an earlier segment removed while the last one grew",
       [&](Store& s, Persist& other) {
         append(other, 5);
         fs::remove(s.segment(DAY5));
       },
       "LTR chain is broken"},
      {"frames swapped in the last segment",
       [&](Store& s, Persist&) { edit_lines(s.segment(DAY6), [](auto& l) { std::swap(l[0], l[1]); }); },
       "LTR chain is broken"},
      {"last segment moved so that it sorts first",
       [](Store& s, Persist&) { fs::rename(s.segment(DAY6), s.segment("2026-01-04-00001.jsonl")); },
       "LTR chain is broken"},
      {"a line that is no frame added to the last segment",
       [](Store& s, Persist&) { append_raw(s.segment(DAY6), "{\"schema\":\n"); },
       "corrupt LTR frame"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist mine = s.open();
    Persist other = s.open();
    append(mine, 1);
    append(mine, 2);
    s.day = {2026, 1, 6};
    append(mine, 3);
    append(mine, 4);
    c.edit(s, other);
    if (c.found_at_open) mine = s.open();
    const auto tree = [&] {
      std::map<std::string, std::string> files;
      for (const auto& e : fs::recursive_directory_iterator(s.persist / "ltr")) {
        if (e.is_regular_file()) files[e.path().string()] = test::read_file(e.path());
      }
      return files;
    };
    const auto before = tree();
    for (int attempt = 0; attempt < 2; ++attempt) {
      const auto appended = mine.append_ltr_payload(sample_record(9));
      ASSERT_FALSE(appended);
      EXPECT_EQ(appended.error(), c.error);
    }
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(mine.read_frames().error(), c.error);
  }
}

TEST(LtrLog, TornTailsItSawAreDamageOnceNotLast) {
  struct Case {
    const char* what;
    std::function<std::string(const std::vector<std::string>& lines)> tail;  // the last segment's text
    std::function<void(Store&, const std::vector<std::string>& lines)> then;
  };
  const Case cases[] = {
      // Reads ignore the torn line while its segment is last; a segment added
      // after it (by a writer that did not cut it) makes it damage.
      {"torn line, then a later segment",
       [](auto& l) { return l[0] + "\n" + l[1] + "\n{\"schema\":\"kio.pers"; },
       [](Store& s, auto& l) { test::write_file(s.segment(DAY6), foreign_frame(l[0] + "\n" + l[1] + "\n", 3) + "\n"); }},
      // A frame without its line feed, and another writer's frame written
      // straight after it, on the same line.
      {"frame written onto a line without its line feed",
       [](auto& l) { return l[0] + "\n" + l[1]; },
       [](Store& s, auto& l) { append_raw(s.segment(DAY5), foreign_frame(l[0] + "\n" + l[1] + "\n", 3) + "\n"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store s;
    Persist mine = s.open();
    append(mine, 1);
    append(mine, 2);
    const auto lines = lines_of(s.segment(DAY5));
    rewrite_in_place(s.segment(DAY5), c.tail(lines));
    ASSERT_TRUE(mine.blob_records());  // the writer has seen the tail
    c.then(s, lines);
    const auto appended = mine.append_ltr_payload(sample_record(9));
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error(), "corrupt LTR frame");
    EXPECT_EQ(mine.read_frames().error(), "corrupt LTR frame");
  }

  // The same tails while their segment stays last: the writer that saw them
  // mends them and goes on.
  Store s;
  Persist mine = s.open();
  append(mine, 1);
  append(mine, 2);
  const auto lines = lines_of(s.segment(DAY5));
  rewrite_in_place(s.segment(DAY5), lines[0] + "\n" + lines[1] + "\n{\"schema\":\"kio.pers");
  ASSERT_TRUE(mine.blob_records());  // sees the torn line
  append(mine, 3);
  const std::string text = test::read_file(s.segment(DAY5));
  rewrite_in_place(s.segment(DAY5), text.substr(0, text.size() - 1));
  ASSERT_TRUE(mine.blob_records());  // sees the missing line feed
  append(mine, 4);
  EXPECT_EQ(lines_of(s.segment(DAY5)).size(), 4u);
  EXPECT_TRUE(test::read_file(s.segment(DAY5)).ends_with("}\n"));
  EXPECT_EQ(frames_in(mine), 4u);
}

TEST(LtrLog, ClockBackWithALaterSegmentInASubfolder) {
  Store s;
  Persist store = s.open();
  s.day = {2026, 1, 10};
  append(store, 1);
  append(store, 2);
  // The day's segment is archived to a folder of its own.
  fs::create_directories(s.persist / "ltr" / "archive");
  fs::rename(s.segment("2026-01-10-00001.jsonl"), s.persist / "ltr" / "archive" / "2026-01-10-00001.jsonl");
  s.day = {2026, 1, 8};  // the clock goes back
  append(store, 3);
  EXPECT_FALSE(fs::exists(s.segment("2026-01-08-00001.jsonl")));
  EXPECT_EQ(lines_of(s.segment("2026-01-10-00002.jsonl")).size(), 1u);
  EXPECT_EQ(frames_in(store), 3u);

  Persist reopened = s.open();
  append(reopened, 4);
  EXPECT_EQ(frames_in(reopened), 4u);
  EXPECT_EQ(reopened.today_segment_path().value(), s.segment("2026-01-10-00002.jsonl"));
}

}  // namespace
}  // namespace kio::install
