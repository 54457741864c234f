// The LTR frame chain: exact frame lines, associated data, verification on
// read, torn tails, and where appends go.
#include <gtest/gtest.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "install/crypto.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

const std::string GENESIS(64, '0');
const std::string DAY1 = "2026-01-05-00001.jsonl";

// A store holding `n` frames in one segment.
struct Log {
  explicit Log(int n) : persist(store.open()) {
    for (int i = 1; i <= n; ++i) EXPECT_EQ(persist.append_ltr_payload(sample_record(i)).value(), std::uint64_t(i));
    lines = lines_of(segment());
  }
  fs::path segment() const { return store.segment(DAY1); }
  void rewrite(const std::string& text) const { rewrite_in_place(segment(), text); }
  std::string read_error() {
    auto frames = persist.read_frames();
    return frames ? "ok:" + std::to_string(frames->size()) : frames.error().message();
  }
  Store store;
  Persist persist;
  std::vector<std::string> lines;
};

TEST(LtrAppend, WritesExactChainedLines) {
  Log log(2);
  const std::string text = test::read_file(log.segment());
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(text, log.lines[0] + "\n" + log.lines[1] + "\n");
  std::string previous = GENESIS;
  for (std::size_t i = 0; i < 2; ++i) {
    const auto parsed = nlohmann::json::parse(log.lines[i]);
    const std::string nonce = parsed["nonce_b64"], ciphertext = parsed["ciphertext_b64"];
    EXPECT_EQ(log.lines[i], "{\"schema\":\"kio.persist.ltr-frame.v1\",\"version\":1,\"sequence\":" + std::to_string(i + 1) +
                                ",\"previous_digest\":\"" + previous + "\",\"nonce_b64\":\"" + nonce +
                                "\",\"ciphertext_b64\":\"" + ciphertext + "\"}");
    EXPECT_EQ(nonce.size(), 16u);
    // The payload opens with libsodium under associated data built here by hand.
    const auto plain = sodium_open(log.store.key, hand_aad(FOUNDER, i + 1, previous), nonce, ciphertext);
    ASSERT_TRUE(plain);
    const auto r = sample_record(static_cast<int>(i + 1));
    EXPECT_EQ(*plain, R"({"kind":"persist-blob","blob_id":")" + r.blob_id + R"(","class":"feature","url":")" + r.url +
                          R"(","encrypted":false,"sha256":")" + r.sha256 + "\"}");
    previous = sha256_hex(log.lines[i]);
  }
  const auto frames = log.persist.read_frames().value();
  EXPECT_EQ(frame_digest(frames[1]).value(), previous);
  EXPECT_EQ(test::file_mode(log.segment()), 0600u);
  EXPECT_EQ(test::file_mode(log.store.current), 0700u);
}

// Rewrites one member of a frame line (the value text as it stands in JSON).
std::string with_member(std::string line, const std::string& name, const std::string& json_value) {
  const std::size_t at = line.find("\"" + name + "\":") + name.size() + 3;
  const std::size_t end = line.find_first_of(",}", at);
  return line.replace(at, end - at, json_value);
}

TEST(LtrRead, EquivalentSpellingsVerify) {
  using Edit = std::function<std::string(const std::vector<std::string>&)>;
  const auto spaced = [](const std::string& line) {
    const auto f = nlohmann::json::parse(line);
    return "  { \"extra\" : {\"nested\": [1, 2.5e3, null, \"\\u00e9\"]}, \"ciphertext_b64\" : " + f["ciphertext_b64"].dump() +
           ", \"nonce_b64\":" + f["nonce_b64"].dump() + ",\t\"previous_digest\":" + f["previous_digest"].dump() +
           ", \"sequence\":" + f["sequence"].dump() + ",\"version\":1 ,\"schema\":\"kio.persist.ltr-frame.v\\u0031\"}\t";
  };
  const std::pair<const char*, Edit> edits[] = {
      {"crlf", [](auto& l) { return l[0] + "\r\n" + l[1] + "\r\n" + l[2] + "\r\n"; }},
      {"blank lines", [](auto& l) { return "\n\n" + l[0] + "\n\r\n\n" + l[1] + "\n" + l[2] + "\n\n"; }},
      {"spaced, reordered, extra member", [&](auto& l) { return spaced(l[0]) + "\n" + l[1] + "\n" + l[2] + "\n"; }},
      {"extra members of every kind", [](auto& l) {
         std::string last = l[2];
         last.insert(last.size() - 1, ",\"x\":-0,\"y\":\"a\\/b\\ud83d\\ude00\",\"z\":[true,false,{},[]],\"w\":-1.5E-3");
         return l[0] + "\n" + l[1] + "\n" + last + "\n";
       }},
  };
  for (const auto& [what, edit] : edits) {
    Log log(3);
    log.rewrite(edit(log.lines));
    const auto frames = log.persist.read_frames();
    ASSERT_TRUE(frames) << what << ": " << frames.error();
    ASSERT_EQ(frames->size(), 3u) << what;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(frame_digest((*frames)[i]).value(), sha256_hex(log.lines[i])) << what;
    EXPECT_EQ(log.persist.append_ltr_payload(sample_record(4)).value(), 4u) << what;
  }
}

TEST(LtrRead, RefusesDamage) {
  using Edit = std::function<std::string(std::vector<std::string>)>;
  const auto join = [](const std::vector<std::string>& l) { return join_lines(l); };
  struct Case {
    const char* what;
    Edit edit;
    const char* error;
  };
  const Case cases[] = {
      {"line of spaces", [&](auto l) { l.insert(l.begin() + 1, "   "); return join(l); }, "corrupt LTR frame"},
      {"member twice", [&](auto l) { l[1].insert(l[1].size() - 1, ",\"version\":1"); return join(l); }, "corrupt LTR frame"},
      {"nested member twice", [&](auto l) { l[1].insert(l[1].size() - 1, ",\"x\":{\"a\":1,\"a\":1}"); return join(l); }, "corrupt LTR frame"},
      {"version as text", [&](auto l) { l[1] = with_member(l[1], "version", "\"1\""); return join(l); }, "corrupt LTR frame"},
      {"version beyond 32 bits", [&](auto l) { l[1] = with_member(l[1], "version", "4294967297"); return join(l); }, "corrupt LTR frame"},
      {"fractional sequence", [&](auto l) { l[1] = with_member(l[1], "sequence", "2.0"); return join(l); }, "corrupt LTR frame"},
      {"negative sequence", [&](auto l) { l[1] = with_member(l[1], "sequence", "-2"); return join(l); }, "corrupt LTR frame"},
      {"leading zero", [&](auto l) { l[1] = with_member(l[1], "sequence", "02"); return join(l); }, "corrupt LTR frame"},
      {"null text", [&](auto l) { l[1] = with_member(l[1], "nonce_b64", "null"); return join(l); }, "corrupt LTR frame"},
      {"missing member", [&](auto l) { l[1].erase(l[1].find(",\"version\":1"), 12); return join(l); }, "corrupt LTR frame"},
      {"trailing text", [&](auto l) { l[1] += " x"; return join(l); }, "corrupt LTR frame"},
      {"two objects", [&](auto l) { l[1] += l[1]; return join(l); }, "corrupt LTR frame"},
      {"array", [&](auto l) { l[1] = "[" + l[1] + "]"; return join(l); }, "corrupt LTR frame"},
      {"partial line inside", [&](auto l) { l[1].resize(40); return join(l); }, "corrupt LTR frame"},
      {"schema v2 parses", [&](auto l) { l[1] = with_member(l[1], "schema", "\"kio.persist.ltr-frame.v2\""); return join(l); }, "unsupported LTR frame"},
      {"version 2", [&](auto l) { l[1] = with_member(l[1], "version", "2"); l[1] = with_member(l[1], "sequence", "9"); return join(l); }, "unsupported LTR frame"},
      {"middle deleted", [&](auto l) { l.erase(l.begin() + 1); return join(l); }, "LTR chain is broken"},
      {"swapped", [&](auto l) { std::swap(l[1], l[2]); return join(l); }, "LTR chain is broken"},
      {"first ciphertext altered", [&](auto l) {
         const std::size_t at = l[0].find("ciphertext_b64") + 20;
         l[0][at] = l[0][at] == 'A' ? 'B' : 'A';
         return join(l);
       }, "LTR chain is broken"},
      {"digest in upper case", [&](auto l) {
         auto f = nlohmann::json::parse(l[1]);
         std::string d = f["previous_digest"];
         for (auto& ch : d) ch = static_cast<char>(std::toupper(ch));
         l[1] = with_member(l[1], "previous_digest", "\"" + d + "\"");
         return join(l);
       }, "LTR chain is broken"},
      {"invalid UTF-8", [&](auto l) { l[2].insert(l[2].size() - 1, ",\"x\":\"\xff\""); return join(l); }, "stream did not contain valid UTF-8"},
  };
  for (const auto& c : cases) {
    Log log(3);
    log.rewrite(c.edit(log.lines));
    EXPECT_EQ(log.read_error(), c.error) << c.what;
    const std::string before = test::read_file(log.segment());
    const auto appended = log.persist.append_ltr_payload(sample_record(9));
    ASSERT_FALSE(appended) << c.what;
    EXPECT_EQ(appended.error(), c.error) << c.what;
    EXPECT_EQ(test::read_file(log.segment()), before) << c.what;
  }
}

TEST(LtrFaults, NameTheSegmentAndLine) {
  using Edit = std::function<std::string(std::vector<std::string>)>;
  struct Case {
    const char* what;
    Edit edit;
    const char* error;
    std::uint64_t line;
  };
  const Case cases[] = {
      {"line that is no frame, after a blank line", [](auto l) { return "\n" + l[0] + "\n[]\n" + l[1] + "\n"; },
       "corrupt LTR frame", 3},
      {"frames swapped", [](auto l) { return l[0] + "\n" + l[2] + "\n" + l[1] + "\n"; }, "LTR chain is broken", 2},
      {"another schema", [](auto l) {
         l[2] = with_member(l[2], "schema", "\"kio.persist.ltr-frame.v2\"");
         return join_lines(l);
       }, "unsupported LTR frame", 3},
      {"a byte that is not UTF-8", [](auto l) {
         l[1].insert(l[1].size() - 1, ",\"x\":\"\xff\"");
         return join_lines(l);
       }, "stream did not contain valid UTF-8", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Log log(3);
    log.rewrite(c.edit(log.lines));
    const auto visited = log.persist.visit_events([](std::uint64_t, LtrPayload&) {});
    ASSERT_FALSE(visited);
    EXPECT_EQ(visited.error().message, c.error);
    EXPECT_EQ(visited.error().segment, log.segment());
    EXPECT_EQ(visited.error().line, c.line);
    EXPECT_EQ(visited.error().located(), log.segment().string() + ":" + std::to_string(c.line) + ": " + c.error);
    // The store's callers get the message alone.
    EXPECT_EQ(log.read_error(), c.error);
  }
  EXPECT_EQ(LtrFault::at("m", "/s/a.jsonl").located(), "/s/a.jsonl: m");
  EXPECT_EQ(LtrFault::at("m").located(), "m");
}

TEST(LtrFaults, AChainBreakIsReportedBeforeAnEventThatDoesNotOpen) {
  // Frame 2 sealed under another wrap key at the right place in the chain.
  Store a;
  Persist store = a.open();
  ASSERT_TRUE(store.append_ltr_payload(sample_record(1)));
  Store b;
  b.key = key_from(99);
  Store::init(b.persist, b.key, FOUNDER);
  Persist other = b.open();
  fs::copy_file(a.segment(DAY1), b.segment(DAY1));
  ASSERT_EQ(other.append_ltr_payload(sample_record(2)).value(), 2u);
  rewrite_in_place(a.segment(DAY1), test::read_file(b.segment(DAY1)));
  ASSERT_EQ(store.append_ltr_payload(sample_record(3)).value(), 3u);

  std::vector<std::uint64_t> opened;
  const auto visited = store.visit_events([&](std::uint64_t sequence, LtrPayload&) { opened.push_back(sequence); });
  ASSERT_FALSE(visited);
  EXPECT_EQ(visited.error().located(), a.segment(DAY1).string() + ":2: decryption failed");
  EXPECT_EQ(opened, std::vector<std::uint64_t>{1});

  // Damage to the chain after it wins, as a read of frames finds it first.
  auto lines = lines_of(a.segment(DAY1));
  std::swap(lines[0], lines[2]);
  rewrite_in_place(a.segment(DAY1), join_lines(lines));
  EXPECT_EQ(store.visit_events([](std::uint64_t, LtrPayload&) {}).error().located(),
            a.segment(DAY1).string() + ":1: LTR chain is broken");
}

TEST(LtrRead, ChainRunsAcrossSegmentsInKeyOrder) {
  Store store;
  Persist persist = store.open();
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(1)));
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(2)));
  store.day = {2026, 1, 6};  // past midnight
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(3)));
  EXPECT_EQ(lines_of(store.segment(DAY1)).size(), 2u);
  EXPECT_EQ(lines_of(store.segment("2026-01-06-00001.jsonl")).size(), 1u);

  // Segments are read from the whole tree, ordered by their names' keys.
  fs::create_directories(store.persist / "ltr" / "archive");
  fs::rename(store.segment(DAY1), store.persist / "ltr" / "archive" / "2026-1-5-00001.jsonl");
  EXPECT_EQ(persist.read_frames().value().size(), 3u);

  fs::rename(store.segment("2026-01-06-00001.jsonl"), store.segment("2026-01-04-00001.jsonl"));
  EXPECT_EQ(persist.read_frames().error(), "LTR chain is broken");
}

TEST(LtrAppend, FullSegmentRollsOver) {
  Log log(1);
  test::write_file(log.segment(), log.lines[0] + std::string(LTR_SEGMENT_LIMIT, '\n'));
  ASSERT_EQ(log.persist.append_ltr_payload(sample_record(2)).value(), 2u);
  EXPECT_EQ(lines_of(log.store.segment("2026-01-05-00002.jsonl")).size(), 1u);
  EXPECT_EQ(log.persist.read_frames().value().size(), 2u);
}

TEST(LtrAppend, LocalDateGoingBackKeepsTheChain) {
  Store store;
  Persist persist = store.open();
  store.day = {2026, 1, 10};
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(1)));
  store.day = {2026, 1, 8};  // clock corrected, or a time zone west of the last one
  ASSERT_TRUE(persist.append_ltr_payload(sample_record(2)));
  EXPECT_FALSE(fs::exists(store.segment("2026-01-08-00001.jsonl")));
  EXPECT_EQ(lines_of(store.segment("2026-01-10-00001.jsonl")).size(), 2u);
  EXPECT_EQ(persist.read_frames().value().size(), 2u);
  EXPECT_EQ(persist.today_segment_path().value(), store.segment("2026-01-10-00001.jsonl"));
}

TEST(LtrAppend, FailureLeavesTheChainAsItWas) {
  Log log(1);
  fs::create_directory(log.store.segment("2026-01-05-00002.jsonl"));  // a directory where the next segment goes
  test::write_file(log.segment(), log.lines[0] + "\n" + std::string(LTR_SEGMENT_LIMIT, '\n'));
  const auto appended = log.persist.append_ltr_payload(sample_record(2));
  ASSERT_FALSE(appended);
  EXPECT_EQ(appended.error(), "Is a directory (os error 21)");
  EXPECT_EQ(log.persist.read_frames().value().size(), 1u);
}

TEST(LtrTornTail, PartialLastLineIsIgnoredThenCut) {
  struct Case {
    const char* what;
    std::function<std::string(const std::vector<std::string>&)> text;
    std::size_t frames_before;
  };
  const Case cases[] = {
      {"half a line", [](auto& l) { return l[0] + "\n" + l[1] + "\n" + l[2].substr(0, l[2].size() / 2); }, 2},
      {"all but the closing brace", [](auto& l) { return l[0] + "\n" + l[1] + "\n" + l[2].substr(0, l[2].size() - 1); }, 2},
      {"zeros of an unwritten block", [](auto& l) { return l[0] + "\n" + l[1] + "\n" + std::string(100, '\0'); }, 2},
      {"spaces", [](auto& l) { return l[0] + "\n" + l[1] + "\n   "; }, 2},
      {"only a partial line", [](auto& l) { return l[0].substr(0, 30); }, 0},
      {"complete frame without its line feed", [](auto& l) { return l[0] + "\n" + l[1] + "\n" + l[2]; }, 3},
      {"same, with a carriage return", [](auto& l) { return l[0] + "\n" + l[1] + "\n" + l[2] + "\r"; }, 3},
  };
  for (const auto& c : cases) {
    Log log(3);
    log.rewrite(c.text(log.lines));
    const auto frames = log.persist.read_frames();
    ASSERT_TRUE(frames) << c.what << ": " << frames.error();
    EXPECT_EQ(frames->size(), c.frames_before) << c.what;
    const auto sequence = log.persist.append_ltr_payload(sample_record(7));
    ASSERT_TRUE(sequence) << c.what << ": " << sequence.error();
    EXPECT_EQ(*sequence, c.frames_before + 1) << c.what;
    // Every line in the segment is now a complete frame of the chain.
    const auto lines = lines_of(log.segment());
    EXPECT_EQ(lines.size(), c.frames_before + 1) << c.what;
    EXPECT_TRUE(test::read_file(log.segment()).ends_with("}\n")) << c.what;
    EXPECT_EQ(log.persist.read_frames().value().size(), c.frames_before + 1) << c.what;
  }
}

TEST(LtrTornTail, OnlyTheLastSegmentMayEndTorn) {
  Log log(2);
  // Frame 2 moves to the next day; the first day's segment keeps a torn tail.
  test::write_file(log.store.segment("2026-01-06-00001.jsonl"), log.lines[1] + "\n");
  log.rewrite(log.lines[0] + "\n" + log.lines[1].substr(0, 50));
  EXPECT_EQ(log.read_error(), "corrupt LTR frame");

  // A partial line that was followed by a line feed is no torn write either.
  log.rewrite(log.lines[0] + "\n" + log.lines[1].substr(0, 50) + "\n");
  fs::remove(log.store.segment("2026-01-06-00001.jsonl"));
  EXPECT_EQ(log.read_error(), "corrupt LTR frame");
}

TEST(LtrTornTail, CutEvenWhenTheFrameGoesToANewSegment) {
  Log log(2);
  log.rewrite(log.lines[0] + "\n" + log.lines[1] + "\n{\"schema\":\"kio.pers");
  log.store.day = {2026, 1, 6};
  ASSERT_EQ(log.persist.append_ltr_payload(sample_record(3)).value(), 3u);
  EXPECT_EQ(test::read_file(log.segment()), log.lines[0] + "\n" + log.lines[1] + "\n");
  EXPECT_EQ(lines_of(log.store.segment("2026-01-06-00001.jsonl")).size(), 1u);
  EXPECT_EQ(log.persist.read_frames().value().size(), 3u);
}

}  // namespace
}  // namespace kio::install
