// Reading one segment file on its own: what the reader tells its reporter of
// each damaged or torn part, and where a read picks up after the file grew.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <optional>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "install/persist/ltr_reader.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

// Remembers everything a read told it.
struct Told final : CorruptionReporter {
  void corruption(const LtrFault& fault) override { faults.push_back(fault.located()); }
  void torn_tail(const fs::path& segment, std::uint64_t line) override {
    torn.push_back(segment.filename().string() + ":" + std::to_string(line));
  }
  std::vector<std::string> faults, torn;
};

// Three frames of a real store, and a file to hold any bytes made of them.
struct Segment {
  Segment() {
    Persist persist = store.open();
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(persist.append_ltr_payload(sample_record(i)));
    lines = lines_of(store.segment("2026-01-05-00001.jsonl"));
  }
  struct Read {
    std::optional<SegmentEnd> end;
    std::vector<std::uint64_t> sequences;  // seen by the visitor
    ChainTip tip;
  };
  Read read(const std::string& text, bool last, const SegmentEnd& from = {}, ChainTip tip = {}) {
    test::write_file(file, text);
    auto fd = open_file(file, O_RDONLY);
    EXPECT_TRUE(fd);
    Read r;
    r.end = SegmentReader(file, fd->get(), told)
                .read(from, last, tip, [&](const LtrFrameView& frame, const FramePlace& place) {
                  EXPECT_EQ(place.segment, file);
                  r.sequences.push_back(frame.sequence);
                });
    r.tip = tip;
    return r;
  }
  Store store;
  fs::path file = store.dir.path() / "s.jsonl";
  std::vector<std::string> lines;
  Told told;
};

TEST(SegmentReader, TellsItsReporterOfEachDamagedOrTornPart) {
  struct Case {
    const char* what;
    std::function<std::string(const std::vector<std::string>&)> text;
    bool last;
    std::vector<std::uint64_t> sequences;  // verified before the read stopped or ended
    const char* fault;                     // what the reporter heard, or "" when nothing
    const char* torn;                      // the torn line it heard of, or ""
  };
  const Case cases[] = {
      {"whole frames", [](auto& l) { return l[0] + "\n" + l[1] + "\n"; }, true, {1, 2}, "", ""},
      {"torn tail of a last segment", [](auto& l) { return l[0] + "\n" + l[1].substr(0, 40); }, true, {1}, "",
       "s.jsonl:2"},
      {"torn tail of an earlier segment", [](auto& l) { return l[0] + "\n" + l[1].substr(0, 40); }, false, {1},
       "s.jsonl:2: corrupt LTR frame", ""},
      {"a frame missing", [](auto& l) { return l[0] + "\n" + l[2] + "\n"; }, true, {1},
       "s.jsonl:2: LTR chain is broken", ""},
      {"blank lines are passed over", [](auto& l) { return "\n" + l[0] + "\n\n" + l[1] + "\n"; }, true, {1, 2}, "",
       ""},
      {"another schema",
       [](auto& l) {
         std::string other = l[1];
         other.replace(other.find("frame.v1"), 8, "frame.v2");
         return l[0] + "\n" + other + "\n";
       },
       true, {1}, "s.jsonl:2: unsupported LTR frame", ""},
      {"bytes that are not UTF-8", [](auto& l) { return l[0] + "\n" + l[1] + "\n\xff\n"; }, true, {},
       "s.jsonl:3: stream did not contain valid UTF-8", ""},
  };
  for (const auto& c : cases) {
    Segment s;
    const auto r = s.read(c.text(s.lines), c.last);
    EXPECT_EQ(r.sequences, c.sequences) << c.what;
    const std::string fault = c.fault;
    EXPECT_EQ(s.told.faults, fault.empty() ? std::vector<std::string>{} : std::vector<std::string>{
                                                                              s.file.parent_path().string() + "/" + fault})
        << c.what;
    const std::string torn = c.torn;
    EXPECT_EQ(s.told.torn, torn.empty() ? std::vector<std::string>{} : std::vector<std::string>{torn}) << c.what;
    // A read that met damage gives no end; one that did not, ends where the chain stands.
    EXPECT_EQ(r.end.has_value(), fault.empty()) << c.what;
    if (r.end) {
      EXPECT_EQ(r.end->torn, !torn.empty()) << c.what;
      EXPECT_EQ(r.tip.count, c.sequences.empty() ? 0u : c.sequences.back()) << c.what;
    }
  }
}

TEST(SegmentReader, PicksUpWhereAnEarlierReadStopped) {
  Segment s;
  const auto first = s.read(s.lines[0] + "\n" + s.lines[1].substr(0, 40), true);
  ASSERT_TRUE(first.end);
  EXPECT_EQ(first.end->resume_line, 2u);
  EXPECT_EQ(first.end->resume_offset, s.lines[0].size() + 1);
  // The torn line was finished and another frame followed: only they are read,
  // numbered as lines of the whole file.
  s.told.faults.clear();
  const auto second = s.read(s.lines[0] + "\n" + s.lines[1] + "\n" + s.lines[2] + "\n", true, *first.end,
                             first.end->resume_tip);
  ASSERT_TRUE(second.end);
  EXPECT_EQ(second.sequences, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(second.end->resume_line, 4u);
  EXPECT_EQ(second.tip.count, 3u);
  // What the earlier read verified is still there, so its boundary holds; not
  // once the file was rewritten before it.
  auto fd = open_file(s.file, O_RDONLY);
  ASSERT_TRUE(fd);
  EXPECT_TRUE(SegmentReader(s.file, fd->get(), s.told).boundary_unchanged(*second.end));
  test::write_file(s.file, s.lines[0] + "\n" + s.lines[1] + "\n" + std::string(s.lines[2].size(), ' ') + "\n");
  EXPECT_FALSE(SegmentReader(s.file, fd->get(), s.told).boundary_unchanged(*second.end));
  EXPECT_TRUE(s.told.faults.empty());
}

TEST(SegmentReader, AFileThatCannotBeReadIsReportedAtTheSegment) {
  Segment s;
  auto fd = open_file(s.store.dir.path(), O_RDONLY);  // a directory: reading it fails
  ASSERT_TRUE(fd);
  ChainTip tip;
  EXPECT_FALSE(SegmentReader(s.file, fd->get(), s.told).read({}, true, tip));
  ASSERT_EQ(s.told.faults.size(), 1u);
  EXPECT_EQ(s.told.faults[0], s.file.string() + ": Is a directory (os error 21)");
}

}  // namespace
}  // namespace kio::install
