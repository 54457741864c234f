#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "connector/endpoint.h"
#include "connector/manifest.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::connector {
namespace {

using install::json::Json;

TEST(Manifest, FirstEntryMakesANewManifest) {
  test::TempDir root;
  ManifestWriter manifest(root.path());
  Json entry = Json::parse(R"({"z":1,"a":{"y":[],"b":{}},"schema":"s"})");
  ASSERT_TRUE(manifest.record(entry));
  EXPECT_EQ(test::read_file(root / "features-manifest.json"),
            "{\n"
            "  \"features\": [\n"
            "    {\n"
            "      \"a\": {\n"
            "        \"b\": {},\n"
            "        \"y\": []\n"
            "      },\n"
            "      \"schema\": \"s\",\n"
            "      \"z\": 1\n"
            "    }\n"
            "  ],\n"
            "  \"schema\": \"kio.install.features-manifest.v1\"\n"
            "}");
  EXPECT_EQ(test::file_mode(root / "features-manifest.json"), 0600u);

  // A second, equal entry is appended again.
  ASSERT_TRUE(manifest.record(entry));
  const auto written = Json::parse(test::read_file(root / "features-manifest.json"));
  EXPECT_EQ(written["features"].size(), 2u);
}

TEST(Manifest, CarriesOtherMembersAndNarrowsTheMode) {
  test::TempDir root;
  ManifestWriter manifest(root.path());
  const fs::path path = root / "features-manifest.json";
  test::write_file(path, R"({"schema":"kio.install.features-manifest.v1","notes":"n","extra":true,"features":[]})");
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(manifest.record(Json("text \x01 \xc3\xa9")));
  EXPECT_EQ(test::read_file(path),
            "{\n  \"extra\": true,\n  \"features\": [\n    \"text \\u0001 \xc3\xa9\"\n  ],\n"
            "  \"notes\": \"n\",\n  \"schema\": \"kio.install.features-manifest.v1\"\n}");
  EXPECT_EQ(test::file_mode(path), 0600u);
}

TEST(Manifest, RefusesManifestsItDidNotWrite) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "features-manifest is corrupt"},
      {"{\"schema\":", "features-manifest is corrupt"},
      {"\xff\xfe", "features-manifest is corrupt"},
      {R"({"schema":"kio.install.features-manifest.v1","features":[]} trailing)", "features-manifest is corrupt"},
      {"[]", "features-manifest schema is not this installer"},
      {R"({"features":[]})", "features-manifest schema is not this installer"},
      {R"({"schema":1,"features":[]})", "features-manifest schema is not this installer"},
      {R"({"schema":"kio.install.features-manifest.v2","features":[]})", "features-manifest schema is not this installer"},
      {R"({"schema":"kio.install.features-manifest.v1"})", "features-manifest features array missing"},
      {R"({"schema":"kio.install.features-manifest.v1","features":{}})", "features-manifest features array missing"},
  };
  for (const auto& [content, message] : cases) {
    SCOPED_TRACE(content);
    test::TempDir root;
    ManifestWriter manifest(root.path());
    test::write_file(root / "features-manifest.json", content);
    auto result = manifest.record(Json::object());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), message);
    EXPECT_EQ(test::read_file(root / "features-manifest.json"), content);  // left as it was
  }
}

TEST(Manifest, UnreadableAndUnwritableFiles) {
  test::TempDir root;
  ManifestWriter manifest(root.path());
  fs::create_directory(root / "features-manifest.json");  // not a regular file: a new manifest...
  auto result = manifest.record(Json::object());
  ASSERT_FALSE(result);  // ...that cannot be written over a directory
  EXPECT_EQ(result.error(), "Is a directory (os error 21)");
}

// The manifest is kept in memory between entries; whatever happens to the
// file in between is seen by the next entry.
TEST(Manifest, SeesWhatHappensToTheFileBetweenEntries) {
  const auto features_of = [](const fs::path& path) {
    std::vector<std::string> names;
    const Json manifest = Json::parse(test::read_file(path));
    for (const auto& e : manifest["features"]) names.push_back(e["n"]);
    return names;
  };
  // Rewrites the file in place; the modification time moves on, so that a
  // coarse file-system clock cannot give it the times of the last write.
  const auto rewrite = [](const fs::path& path, const std::string& text) {
    test::write_file(path, text);
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
  };
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    std::vector<std::string> after;  // the names of the entries after the next one
    bool member_z = false;           // the other member the change added is carried along
  };
  const Case cases[] = {
      {"nothing", [](const fs::path&) {}, {"a", "b", "c"}},
      {"an entry edited, same size", [&](const fs::path& p) {
         std::string text = test::read_file(p);
         text.replace(text.find("\"b\""), 3, "\"B\"");
         rewrite(p, text);
       }, {"a", "B", "c"}},
      {"entries removed, a member added", [&](const fs::path& p) {
         rewrite(p, R"({"features":[{"n":"x"}],"schema":"kio.install.features-manifest.v1","z":1})");
       }, {"x", "c"}, true},
      {"replaced by another file", [](const fs::path& p) {
         test::write_file(p.string() + ".new", R"({"features":[],"schema":"kio.install.features-manifest.v1"})");
         fs::rename(p.string() + ".new", p);
       }, {"c"}},
      {"removed", [](const fs::path& p) { fs::remove(p); }, {"c"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir root;
    ManifestWriter manifest(root.path());
    const fs::path path = root / "features-manifest.json";
    ASSERT_TRUE(manifest.record(Json{{"n", "a"}}));
    ASSERT_TRUE(manifest.record(Json{{"n", "b"}}));
    c.change(path);
    ASSERT_TRUE(manifest.record(Json{{"n", "c"}}));
    EXPECT_EQ(features_of(path), c.after);
    EXPECT_EQ(Json::parse(test::read_file(path)).contains("z"), c.member_z);
  }

  // A file that turned corrupt is refused and left alone; once mended, it is read.
  test::TempDir root;
  ManifestWriter manifest(root.path());
  const fs::path path = root / "features-manifest.json";
  ASSERT_TRUE(manifest.record(Json{{"n", "a"}}));
  rewrite(path, "{");
  EXPECT_EQ(manifest.record(Json{{"n", "b"}}).error(), "features-manifest is corrupt");
  EXPECT_EQ(test::read_file(path), "{");
  rewrite(path, R"({"features":[{"n":"m"}],"schema":"kio.install.features-manifest.v1"})");
  ASSERT_TRUE(manifest.record(Json{{"n", "c"}}));
  EXPECT_EQ(features_of(path), (std::vector<std::string>{"m", "c"}));

  // Two installs in turn: each file gets its own entries.
  test::TempDir other;
  ManifestWriter other_manifest(other.path());
  ASSERT_TRUE(other_manifest.record(Json{{"n", "o"}}));
  ASSERT_TRUE(manifest.record(Json{{"n", "d"}}));
  EXPECT_EQ(features_of(path), (std::vector<std::string>{"m", "c", "d"}));
  EXPECT_EQ(features_of(other / "features-manifest.json"), std::vector<std::string>{"o"});
}

TEST(Manifest, AFailedWriteIsFollowedByAFreshRead) {
  test::TempDir root;
  ManifestWriter manifest(root.path());
  const fs::path path = root / "features-manifest.json";
  ASSERT_TRUE(manifest.record(Json{{"n", "a"}}));
  fs::remove(path);
  fs::create_directory(path);  // the next write fails
  EXPECT_EQ(manifest.record(Json{{"n", "b"}}).error(), "Is a directory (os error 21)");
  fs::remove(path);
  test::write_file(path, R"({"features":[{"n":"m"}],"schema":"kio.install.features-manifest.v1"})");
  ASSERT_TRUE(manifest.record(Json{{"n", "c"}}));
  const auto written = Json::parse(test::read_file(path));
  EXPECT_EQ(written["features"], Json::parse(R"([{"n":"m"},{"n":"c"}])"));
}

TEST(Endpoint, WritesSixLinesWithMode0600) {
  test::TempDir root;
  const fs::path path = root / "peer-endpoint.json";
  test::write_file(path, "old content that is longer than the new one ..........................................");
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(write_endpoint(root.path(), 40123));
  EXPECT_EQ(test::read_file(path),
            "{\n  \"schema\": \"kio.peer-endpoint.v2\",\n  \"host\": \"127.0.0.1\",\n  \"port\": 40123,\n"
            "  \"transport\": \"udp\"\n}");
  EXPECT_EQ(test::file_mode(path), 0600u);
  auto missing = write_endpoint(root / "missing", 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

TEST(Endpoint, APlantedLinkIsReplacedNotWrittenThrough) {
  test::TempDir root;
  const fs::path outside = root / "elsewhere.txt";
  test::write_file(outside, "not the connector's");
  ::chmod(outside.c_str(), 0644);
  fs::create_symlink(outside, root / "peer-endpoint.json");
  ASSERT_TRUE(write_endpoint(root.path(), 40123));
  EXPECT_EQ(test::read_file(outside), "not the connector's");
  EXPECT_EQ(test::file_mode(outside), 0644u);
  EXPECT_FALSE(fs::is_symlink(root / "peer-endpoint.json"));
  EXPECT_EQ(test::file_mode(root / "peer-endpoint.json"), 0600u);
}

}  // namespace
}  // namespace kio::connector
