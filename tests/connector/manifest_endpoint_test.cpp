#include <gtest/gtest.h>
#include <sys/stat.h>

#include "connector/endpoint.h"
#include "connector/manifest.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace kio::connector {
namespace {

using install::json::Json;

TEST(Manifest, FirstEntryMakesANewManifest) {
  test::TempDir root;
  Json entry = Json::parse(R"({"z":1,"a":{"y":[],"b":{}},"schema":"s"})");
  ASSERT_TRUE(record_inventory(root.path(), entry));
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
  ASSERT_TRUE(record_inventory(root.path(), entry));
  const auto manifest = Json::parse(test::read_file(root / "features-manifest.json"));
  EXPECT_EQ(manifest["features"].size(), 2u);
}

TEST(Manifest, CarriesOtherMembersAndNarrowsTheMode) {
  test::TempDir root;
  const fs::path path = root / "features-manifest.json";
  test::write_file(path, R"({"schema":"kio.install.features-manifest.v1","notes":"n","extra":true,"features":[]})");
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(record_inventory(root.path(), Json("text \x01 \xc3\xa9")));
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
    test::write_file(root / "features-manifest.json", content);
    auto result = record_inventory(root.path(), Json::object());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), message);
    EXPECT_EQ(test::read_file(root / "features-manifest.json"), content);  // left as it was
  }
}

TEST(Manifest, UnreadableAndUnwritableFiles) {
  test::TempDir root;
  fs::create_directory(root / "features-manifest.json");  // not a regular file: a new manifest...
  auto result = record_inventory(root.path(), Json::object());
  ASSERT_FALSE(result);  // ...that cannot be written over a directory
  EXPECT_EQ(result.error(), "Is a directory (os error 21)");
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
