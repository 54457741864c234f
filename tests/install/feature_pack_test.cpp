#include "install/feature_pack.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"

#include "tests/support/test_support.h"

namespace kio::install {
namespace {

Result<FeaturePack> decode_text(const std::string& text) { return FeaturePack::decode(test::bytes_of(text)); }

// A readable, admitted document; `extra` is spliced in before the closing brace.
std::string document(const std::string& schema = "kio.feature.pack.v1", const std::string& cls = "feature",
                     const std::string& extra = "") {
  return R"({"schema":")" + schema + R"(","id":"01a0b0d4-97d6-7083-bd74-ab53fb6f92a1","blob":"blob-1",)" +
         R"("class":")" + cls + R"(","short_name":"geonames","description":"","geonames_id":6295630)" + extra +
         "}";
}

TEST(FeaturePackDecode, Refusals) {
  struct Case {
    std::string name;
    std::string text;
    std::string error;
  };
  const std::string parse = "feature pack could not be parsed";
  const Case cases[] = {
      {"schema with another version", document("kio.feature.pack.v2"), "feature pack schema is not admitted"},
      {"schema in other case", document("KIO.feature.pack.v1"), "feature pack schema is not admitted"},
      {"schema with trailing space", document("kio.feature.pack.v1 "), "feature pack schema is not admitted"},
      {"wrong schema and class", document("x", "bytes"), "feature pack schema is not admitted"},
      {"capital class", document("kio.feature.pack.v1", "Feature"), "feature pack class is not admitted"},
      {"empty id", R"({"schema":"kio.feature.pack.v1","id":"","blob":"b","class":"feature","short_name":"s",)"
                   R"("description":"d","geonames_id":1})",
       "feature pack identity is not admitted"},
      {"empty blob", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"","class":"feature","short_name":"s",)"
                     R"("description":"d","geonames_id":1})",
       "feature pack identity is not admitted"},
      {"empty short name", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                           R"("short_name":"","description":"d","geonames_id":1})",
       "feature pack identity is not admitted"},
      {"missing description", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                              R"("short_name":"s","geonames_id":1})",
       parse},
      {"missing geonames_id", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                              R"("short_name":"s","description":""})",
       parse},
      {"geonames_id as string", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                                R"("short_name":"s","description":"","geonames_id":"1"})",
       parse},
      {"negative geonames_id", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                               R"("short_name":"s","description":"","geonames_id":-1})",
       parse},
      {"fractional geonames_id", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                                 R"("short_name":"s","description":"","geonames_id":1.5})",
       parse},
      {"geonames_id 2^64", R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                           R"("short_name":"s","description":"","geonames_id":18446744073709551616})",
       parse},
      {"null text", R"({"schema":"kio.feature.pack.v1","id":"i","blob":null,"class":"feature",)"
                    R"("short_name":"s","description":"","geonames_id":1})",
       parse},
      {"duplicate key", document("kio.feature.pack.v1", "feature", R"(,"id":"other")"), parse},
      {"action id 65536", document("kio.feature.pack.v1", "feature", R"(,"actions":[{"id":65536,"name":"n"}])"),
       parse},
      {"action without name", document("kio.feature.pack.v1", "feature", R"(,"actions":[{"id":1}])"), parse},
      {"duplicate key in action",
       document("kio.feature.pack.v1", "feature", R"(,"actions":[{"id":1,"name":"a","name":"b"}])"), parse},
      {"number in features", document("kio.feature.pack.v1", "feature", R"(,"features":["a",1])"), parse},
      {"features not a list", document("kio.feature.pack.v1", "feature", R"(,"features":"a")"), parse},
      {"trailing text", document() + " x", parse},
      {"two documents", document() + document(), parse},
      {"array", "[" + document() + "]", parse},
      {"not utf-8", document("kio.feature.pack.v1", "feature", ",\"note\":\"\xff\""), parse},
      {"empty input", "", parse},
  };
  for (const auto& c : cases) {
    auto got = decode_text(c.text);
    ASSERT_FALSE(got) << c.name;
    EXPECT_EQ(got.error(), c.error) << c.name;
  }
}

TEST(FeaturePackDecode, ReadsOptionalListsAndIgnoresUnknownKeys) {
  auto minimal = decode_text(" \n" + document() + "\n\t ");
  ASSERT_TRUE(minimal) << minimal.error();
  EXPECT_EQ(minimal->schema, "kio.feature.pack.v1");
  EXPECT_EQ(minimal->class_name, "feature");
  EXPECT_EQ(minimal->description, "");
  EXPECT_EQ(minimal->geonames_id, 6295630u);
  EXPECT_TRUE(minimal->features.empty());
  EXPECT_TRUE(minimal->actions.empty());

  auto full = decode_text(document("kio.feature.pack.v1", "feature",
                                   R"(,"comment":{"x":[1,2]},"features":["search","nearby"],)"
                                   R"("actions":[{"name":"open","id":65535,"icon":"i"},{"id":0,"name":""}])"));
  ASSERT_TRUE(full) << full.error();
  EXPECT_EQ(full->features, (std::vector<std::string>{"search", "nearby"}));
  EXPECT_EQ(full->actions, (std::vector<FeaturePackAction>{{65535, "open"}, {0, ""}}));

  auto largest = decode_text(R"({"schema":"kio.feature.pack.v1","id":"i","blob":"b","class":"feature",)"
                             R"("short_name":"s","description":"","geonames_id":18446744073709551615})");
  ASSERT_TRUE(largest) << largest.error();
  EXPECT_EQ(largest->geonames_id, 18446744073709551615u);
}

FeaturePack sample_pack() {
  FeaturePack pack;
  pack.schema = "kio.feature.pack.v1";
  pack.id = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a1";
  pack.blob = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";
  pack.class_name = "feature";
  pack.short_name = "geonames";
  pack.description = "Places \"near\" you\\ A/B\n\t\b\f\r\x01\x1f\x7f caf\xc3\xa9 \xe2\x82\xac";
  pack.geonames_id = 18446744073709551615u;
  pack.features = {"search", "nearby"};
  pack.actions = {{1, "open"}, {65535, "close"}};
  return pack;
}

// A received pack is decrypted plaintext: the parsed document's texts are
// wiped as soon as the pack is read (admitted or refused), and the pack's own
// texts by `wipe`.
TEST(FeaturePackDecode, WipesThePlaintextItCopied) {
  static std::size_t seen = 0;
  wipe_observer = [](const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.find("secret-plaintext") != std::string_view::npos) ++seen;
  };
  const std::string extra = R"(,"features":["secret-plaintext-feature"],"note":"secret-plaintext-note")";
  struct Case {
    const char* name;
    std::string text;
    std::size_t wiped_by_decode;  // the listed feature and the unknown note
  };
  const Case cases[] = {
      {"admitted", document("kio.feature.pack.v1", "feature", extra), 2},
      {"refused by verify", document("kio.feature.pack.v1", "other", extra), 3},  // the pack's copy too
  };
  for (const auto& c : cases) {
    seen = 0;
    auto pack = decode_text(c.text);
    EXPECT_EQ(seen, c.wiped_by_decode) << c.name;
    if (pack) {
      wipe(*pack);
      EXPECT_EQ(seen, c.wiped_by_decode + 1) << c.name;
      EXPECT_EQ(pack->features, std::vector<std::string>{std::string(24, '\0')}) << c.name;
    }
  }
  wipe_observer = nullptr;
}

TEST(FeaturePackEncode, CanonicalBytes) {
  auto encoded = FeaturePack::encode(sample_pack());
  ASSERT_TRUE(encoded) << encoded.error();
  const std::string expected =
      "{\n"
      "  \"schema\": \"kio.feature.pack.v1\",\n"
      "  \"id\": \"01a0b0d4-97d6-7083-bd74-ab53fb6f92a1\",\n"
      "  \"blob\": \"01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8\",\n"
      "  \"class\": \"feature\",\n"
      "  \"short_name\": \"geonames\",\n"
      "  \"description\": \"Places \\\"near\\\" you\\\\ A/B\\n\\t\\b\\f\\r\\u0001\\u001f\x7f caf\xc3\xa9 \xe2\x82\xac\",\n"
      "  \"geonames_id\": 18446744073709551615,\n"
      "  \"features\": [\n"
      "    \"search\",\n"
      "    \"nearby\"\n"
      "  ],\n"
      "  \"actions\": [\n"
      "    {\n"
      "      \"id\": 1,\n"
      "      \"name\": \"open\"\n"
      "    },\n"
      "    {\n"
      "      \"id\": 65535,\n"
      "      \"name\": \"close\"\n"
      "    }\n"
      "  ]\n"
      "}";
  EXPECT_EQ(*encoded, expected);

  // Empty lists are left out; the last member then ends without a comma.
  FeaturePack bare = sample_pack();
  bare.description = "";
  bare.geonames_id = 0;
  bare.features.clear();
  bare.actions.clear();
  EXPECT_EQ(FeaturePack::encode(bare).value(),
            "{\n"
            "  \"schema\": \"kio.feature.pack.v1\",\n"
            "  \"id\": \"01a0b0d4-97d6-7083-bd74-ab53fb6f92a1\",\n"
            "  \"blob\": \"01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8\",\n"
            "  \"class\": \"feature\",\n"
            "  \"short_name\": \"geonames\",\n"
            "  \"description\": \"\",\n"
            "  \"geonames_id\": 0\n"
            "}");
  FeaturePack actions_only = bare;
  actions_only.actions = {{2, "x"}};
  EXPECT_EQ(FeaturePack::encode(actions_only).value(),
            "{\n"
            "  \"schema\": \"kio.feature.pack.v1\",\n"
            "  \"id\": \"01a0b0d4-97d6-7083-bd74-ab53fb6f92a1\",\n"
            "  \"blob\": \"01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8\",\n"
            "  \"class\": \"feature\",\n"
            "  \"short_name\": \"geonames\",\n"
            "  \"description\": \"\",\n"
            "  \"geonames_id\": 0,\n"
            "  \"actions\": [\n"
            "    {\n"
            "      \"id\": 2,\n"
            "      \"name\": \"x\"\n"
            "    }\n"
            "  ]\n"
            "}");
}

TEST(FeaturePackEncode, VerifiesFirstAndRefusesTextWithoutAJsonForm) {
  FeaturePack pack = sample_pack();
  pack.class_name = "bytes";
  pack.short_name = "";
  EXPECT_EQ(FeaturePack::encode(pack).error(), "feature pack class is not admitted");
  pack.class_name = "feature";
  EXPECT_EQ(FeaturePack::encode(pack).error(), "feature pack identity is not admitted");
  EXPECT_EQ(FeaturePack::verify(pack).error(), "feature pack identity is not admitted");

  for (auto invalid : {+[](FeaturePack& p) { p.description = "bad \xc3"; },
                       +[](FeaturePack& p) { p.features = {"ok", "\xff"}; },
                       +[](FeaturePack& p) { p.actions = {{1, "\xed\xa0\x80"}}; }}) {
    FeaturePack bad = sample_pack();
    invalid(bad);
    EXPECT_EQ(FeaturePack::encode(bad).error(), "feature pack could not be encoded");
  }
}

TEST(FeaturePackEncode, RoundTripIsStable) {
  // Whatever the layout of the received text, decode then encode gives the
  // canonical form, which decodes to the same pack and encodes to the same bytes.
  const std::string received = document("kio.feature.pack.v1", "feature",
                                        R"(, "zz":1, "actions" : [ {"name":"a\u00e9\/","id":7} ],"features":[])");
  auto decoded = decode_text(received);
  ASSERT_TRUE(decoded) << decoded.error();
  auto first = FeaturePack::encode(*decoded);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ(first->find("zz"), std::string::npos);
  EXPECT_EQ(first->find("features"), std::string::npos);
  EXPECT_NE(first->find("\"name\": \"a\xc3\xa9/\""), std::string::npos);

  for (const FeaturePack& pack : {*decoded, sample_pack()}) {
    auto bytes = FeaturePack::encode(pack).value();
    auto again = decode_text(bytes);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(*again, pack);
    EXPECT_EQ(FeaturePack::encode(*again).value(), bytes);
  }
}

}  // namespace
}  // namespace kio::install
