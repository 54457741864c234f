#include "install/landing_status.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::install {
namespace {

FileStreamAnnounce stream(const std::string& sha256) {
  FileStreamAnnounce a;
  a.feature_id = "019a0000-0000-7000-8000-00000000000f";
  a.blob_id = "019a0000-0000-7000-8000-0000000000b1";
  a.blob_class = "bytes";
  a.sha256 = sha256;
  a.total_bytes = 5005;
  return a;
}

TEST(LandingStatus, TheLandedFileIsFiveLines) {
  EXPECT_EQ(landed_status_text(stream("ab12")),
            "feature_id=019a0000-0000-7000-8000-00000000000f\nblob_id=019a0000-0000-7000-8000-0000000000b1\n"
            "sha256=ab12\nbytes=5005\nclass=bytes\n");
  EXPECT_EQ(land_error_status_text("stream x refused: too large"), "stream x refused: too large\n");
}

// A sender reads back what the connector wrote, and only a whole report of its
// own stream is its answer.
TEST(LandingStatus, ASenderKnowsItsOwnWholeReport) {
  const std::string landed = landed_status_text(stream("ab12"));
  struct Case {
    const char* what;
    std::string content;
    std::string sha256;
    bool reports;
  };
  const Case cases[] = {
      {"its stream", landed, "ab12", true},
      {"another stream", landed, "cd34", false},
      {"a digest that begins the written one", landed, "ab1", false},
      {"four of the five lines", landed.substr(0, landed.find("class=")), "ab12", false},
      {"the last line without its line feed", landed.substr(0, landed.size() - 1), "ab12", false},
      {"nothing", "", "ab12", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(reports_landing(c.content, c.sha256), c.reports);
  }
}

TEST(LandingStatus, TheErrorFileHoldsOneWholeMessage) {
  struct Case {
    const char* what;
    std::string content;
    std::optional<std::string> message;
  };
  const Case cases[] = {
      {"as written", land_error_status_text("blob: no space"), "blob: no space"},
      {"torn", "blob: no sp", std::nullopt},
      {"empty", "", std::nullopt},
      {"an empty message", "\n", ""},
      {"more than one line", "first\nsecond\n", "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(land_error_message(c.content), c.message);
  }
}

// A status file counts as rewritten when it appeared or went, when its
// modification time moved, or when its content changed.
TEST(LandingStatus, ASnapshotNoticesARewrite) {
  const auto set_mtime = [](const fs::path& path, fs::file_time_type when) { fs::last_write_time(path, when); };
  struct Case {
    const char* what;
    std::optional<std::string> before;  // nothing: no file
    std::function<void(const fs::path&)> change;
    bool rewritten;
  };
  const Case cases[] = {
      {"untouched", "old\n", [](const fs::path&) {}, false},
      {"still missing", std::nullopt, [](const fs::path&) {}, false},
      {"appeared", std::nullopt, [](const fs::path& p) { test::write_file(p, "new\n"); }, true},
      {"removed", "old\n", [](const fs::path& p) { fs::remove(p); }, true},
      {"same content, later time", "old\n",
       [&](const fs::path& p) { set_mtime(p, fs::last_write_time(p) + std::chrono::seconds(1)); }, true},
      {"other content, same time", "old\n",
       [&](const fs::path& p) {
         const auto when = fs::last_write_time(p);
         test::write_file(p, "new\n");
         set_mtime(p, when);
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    const fs::path path = dir / "blob-land-error.txt";
    if (c.before) test::write_file(path, *c.before);
    const auto before = StatusSnapshot::take(path);
    EXPECT_EQ(before.stamp.has_value(), c.before.has_value());
    EXPECT_EQ(before.content, c.before.value_or(""));
    c.change(path);
    EXPECT_EQ(StatusSnapshot::take(path).rewritten_since(before), c.rewritten);
  }
}

}  // namespace
}  // namespace kio::install
