#include "install/json.h"

#include <gtest/gtest.h>

namespace kio::install::json {
namespace {

TEST(StrictJson, RefusesDuplicatesAndTrailingText) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {R"({"a":1,"b":2})", true},
      {R"({"a":1,"a":2})", false},
      {R"({"a":{"x":1,"x":1}})", false},
      {R"({"a":[{"x":1},{"x":2}]})", true},  // equal names in sibling objects are fine
      {R"({"a":{"x":1},"x":2})", true},
      {R"({"a":1}  )", true},
      {"{\"a\":1}\n\t", true},
      {R"({"a":1} x)", false},
      {R"({"a":1}{})", false},
      {"", false},
      {"{\"a\":\"\xff\"}", false},  // not UTF-8
      {"\xEF\xBB\xBF{}", false},       // a byte-order mark is not JSON text
  };
  for (const auto& c : cases) EXPECT_EQ(read_value(c.text, Duplicates::refuse).has_value(), c.ok) << c.text;
}

TEST(StrictJson, AcceptsExactlyJsonText) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      // Strings: UTF-8 at its boundaries, raw control characters, escapes.
      {"\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\x7f\"", true},
      {"\"\xC1\xBF\"", false},
      {"\"\xE0\x9F\xBF\"", false},
      {"\"\xED\xA0\x80\"", false},
      {"\"\xF0\x8F\xBF\xBF\"", false},
      {"\"\xF4\x90\x80\x80\"", false},
      {"\"\xF5\x80\x80\x80\"", false},
      {"\"\x80\"", false},
      {"\"\xC3\"", false},
      {"\"\xE2\x82\"", false},
      {"[\"\xC3\"]", false},
      {"\"\x1f\"", false},
      {"\"\t\"", false},
      {"\"\\ud83d\\ude00\\u00e9\\/\\b\\f\\n\\r\\t\\\"\\\\\"", true},
      {R"("\ud83d")", false},         // a high surrogate alone
      {R"("\ude00")", false},         // a low surrogate first
      {R"("\ud83d\u0041")", false},
      {R"("\ud83d\ud83d")", false},
      {R"("\ud83dx")", false},
      {R"("\x")", false},
      {R"("\u12")", false},
      {R"("\u12G4")", false},
      {R"("\U00e9")", false},
      {"\"abc", false},
      {"\"abc\\", false},
      // Numbers.
      {"-0", true},
      {"0.5e-3", true},
      {"1E+2", true},
      {"18446744073709551616", true},  // beyond 64 bits: a floating-point number
      {"1e-400", true},                // underflows to zero
      {"1e400", false},                // no double holds it
      {"-1e400", false},
      {"01", false},
      {"-01", false},
      {"1.", false},
      {".5", false},
      {"-", false},
      {"1e", false},
      {"1e+", false},
      {"+1", false},
      {"0x10", false},
      {"NaN", false},
      {"Infinity", false},
      // Structure and white space.
      {" \t\r\n[ 1 , {} , [ ] ]\r\n", true},
      {"[1,]", false},
      {R"({"a":1,})", false},
      {R"({"a" 1})", false},
      {R"({a:1})", false},
      {R"({"a":1 "b":2})", false},
      {"[1}", false},
      {"{\"a\":1]", false},
      {"[", false},
      {"]", false},
      {"/*c*/1", false},
      {"1 //c", false},
      {"nul", false},
      {"truex", false},
      {"True", false},
      {"\f1", false},           // form feed is not JSON white space
      {"1\0"s, false},          // a zero byte ends nothing
      {"\0"s, false},
      {"[\"a\0\"]"s, false},
      {"1 2", false},
      {std::string(20000, '[') + std::string(20000, ']'), true},  // no depth limit
  };
  for (const auto& c : cases) {
    const std::string shown = testing::PrintToString(c.text.substr(0, 40));
    for (const auto duplicates : {Duplicates::refuse, Duplicates::last_wins}) {
      EXPECT_EQ(read_value(c.text, duplicates).has_value(), c.ok) << shown;
      EXPECT_EQ(read_record(c.text, duplicates).has_value(), c.ok) << shown;
    }
  }
}

TEST(StrictJson, TreeKeepsTheLibrarysNumberTypesAndDecodedTexts) {
  const auto v = read_value(R"({"u":18446744073709551615,"z":-0,"min":-9223372036854775808,)"
                            R"("below":-9223372036854775809,"over":18446744073709551616,"f":1.0,)"
                            R"("t":"\u00e9\ud83d\ude00\/\u0000","d":1,"d":2})",
                            Duplicates::last_wins)
                     .value();
  EXPECT_TRUE(v["u"].is_number_unsigned());
  EXPECT_EQ(v["u"].get<std::uint64_t>(), UINT64_MAX);
  EXPECT_TRUE(v["z"].is_number_integer() && !v["z"].is_number_unsigned());
  EXPECT_TRUE(v["min"].is_number_integer() && !v["min"].is_number_unsigned());
  EXPECT_EQ(v["min"].get<std::int64_t>(), INT64_MIN);
  EXPECT_TRUE(v["below"].is_number_float());
  EXPECT_TRUE(v["over"].is_number_float());
  EXPECT_TRUE(v["f"].is_number_float());
  EXPECT_EQ(v["t"].get<std::string>(), std::string("\xc3\xa9\xf0\x9f\x98\x80/\0", 8));
  EXPECT_EQ(v["d"].get<std::uint64_t>(), 2u);  // the last of a repeated name

  const auto r = read_record(R"({"d":1,"s":"\u00e9","d":2,"n":{"s":5},"neg":-1})", Duplicates::last_wins).value();
  EXPECT_EQ(r.type, Type::object);
  EXPECT_EQ(r.unsigned_number("d", 10).value(), 2u);
  EXPECT_FALSE(r.unsigned_number("d", 1));
  EXPECT_EQ(r.string("s").value(), "\xc3\xa9");
  EXPECT_EQ(r.find("n")->type, Type::object);
  EXPECT_EQ(r.find("neg")->type, Type::other_number);
  EXPECT_EQ(read_record("[1]", Duplicates::refuse).value().type, Type::array);
  EXPECT_FALSE(read_record(R"({"d":1,"d":2})", Duplicates::refuse));
}

TEST(StrictJson, TypedGetters) {
  const auto v = read_value(R"({"s":"t","n":5,"neg":-1,"frac":1.5,"big":18446744073709551615,
    "huge":18446744073709551616,"z":-0,"b":true,"nul":null,"arr":[],"w":65536})", Duplicates::refuse).value();
  EXPECT_EQ(get_string(v, "s").value(), "t");
  EXPECT_FALSE(get_string(v, "n"));
  EXPECT_FALSE(get_string(v, "nul"));
  EXPECT_FALSE(get_string(v, "missing"));
  std::string first, second;
  EXPECT_TRUE(get_strings(v, {{"s", &first}, {"s", &second}}));
  EXPECT_EQ(second, "t");
  // Every member is required: one that is not a text fails the whole call.
  EXPECT_FALSE(get_strings(v, {{"s", &first}, {"nul", &second}}));
  EXPECT_EQ(get_u64(v, "n").value(), 5u);
  EXPECT_FALSE(get_u64(v, "neg"));
  EXPECT_FALSE(get_u64(v, "frac"));
  EXPECT_EQ(get_u64(v, "big").value(), UINT64_MAX);
  EXPECT_FALSE(get_u64(v, "huge"));
  EXPECT_FALSE(get_u64(v, "z"));  // "-0"
  EXPECT_FALSE(get_u16(v, "w"));
  EXPECT_EQ(get_u32(v, "w").value(), 65536u);
  EXPECT_FALSE(get_u64(v, "s"));
  EXPECT_TRUE(get_bool(v, "b").value());
  EXPECT_FALSE(get_bool(v, "s"));
  EXPECT_TRUE(get_array(v, "arr"));
  EXPECT_FALSE(get_array(v, "s"));
}

TEST(JsonWriting, EscapingAndLayout) {
  std::string out;
  append_string(out, "q\"b\\/\b\f\n\r\t\x01\x1f\x7f \xc3\xa9");
  EXPECT_EQ(out, "\"q\\\"b\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f \xc3\xa9\"");

  Json v = Json::object();
  v["z"] = 1;
  v["a"] = Json::array();
  v["m"] = Json::object();
  v["t"] = std::string("\x01\xc3\xa9");
  EXPECT_EQ(write_value(v, Layout::indented).value(), "{\n  \"a\": [],\n  \"m\": {},\n  \"t\": \"\\u0001\xc3\xa9\",\n  \"z\": 1\n}");
  EXPECT_EQ(write_value(v, Layout::compact).value(), "{\"a\":[],\"m\":{},\"t\":\"\\u0001\xc3\xa9\",\"z\":1}");

  std::string ordered;
  Writer(ordered, Layout::compact).begin_object().name("z").number(1).name("a").number(2).end_object();
  EXPECT_EQ(ordered, "{\"z\":1,\"a\":2}");
  Json bad = std::string("\xff");
  EXPECT_FALSE(write_value(bad, Layout::indented));
}

TEST(JsonWriting, FreeFormValuesInBothLayouts) {
  Json v = Json::object();
  v["list"] = Json::array({1, -2, 1.5, nullptr, true, Json::object({{"k", Json::array()}})});
  v["o"] = Json::object({{"b", Json::object()}, {"a", "x\ny"}});
  v["f"] = Json::array({1e300, 0.1, -0.0, 18446744073709551615ull});
  EXPECT_EQ(write_value(v, Layout::compact).value(),
            R"({"f":[1e+300,0.1,-0.0,18446744073709551615],"list":[1,-2,1.5,null,true,{"k":[]}],"o":{"a":"x\ny","b":{}}})");
  EXPECT_EQ(write_value(v, Layout::indented).value(),
            "{\n  \"f\": [\n    1e+300,\n    0.1,\n    -0.0,\n    18446744073709551615\n  ],\n"
            "  \"list\": [\n    1,\n    -2,\n    1.5,\n    null,\n    true,\n    {\n      \"k\": []\n    }\n  ],\n"
            "  \"o\": {\n    \"a\": \"x\\ny\",\n    \"b\": {}\n  }\n}");
  EXPECT_EQ(write_value(Json("a\x1f"), Layout::indented).value(), "\"a\\u001f\"");
  EXPECT_EQ(write_value(Json(), Layout::compact).value(), "null");
}

// A document the reader accepts, however deep, can be written back.
TEST(JsonWriting, NoDocumentIsTooDeepToWrite) {
  constexpr std::size_t depth = 300000;  // far beyond what a recursive writer survives
  Json deep = Json::array();
  Json* inner = &deep;
  for (std::size_t i = 1; i < depth; ++i) {
    inner->push_back(Json::array());
    inner = &inner->back();
  }
  inner->push_back(Json::object({{"k", -1}}));
  EXPECT_EQ(write_value(deep, Layout::compact).value(),
            std::string(depth, '[') + R"({"k":-1})" + std::string(depth, ']'));
}

TEST(JsonWriting, UnwritableTextsFailWithTheFirstOnesMessage) {
  struct Case {
    Json value;
    const char* error;
  };
  const Case cases[] = {
      {Json("\xff"), "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFF"},
      {Json("ab\xc3"), "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3"},
      {Json("a\xed\xa0\x80"), "[json.exception.type_error.316] invalid UTF-8 byte at index 2: 0xA0"},
      {Json::array({"ok", "\xfe", "\xff"}), "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFE"},
      {Json::object({{"\xfe", "\xff"}}), "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFE"},
      {Json::object({{"a", Json::array({"\xfe"})}, {"b\xff", 1}}),
       "[json.exception.type_error.316] invalid UTF-8 byte at index 0: 0xFE"},
  };
  for (const auto& c : cases) {
    for (const auto layout : {Layout::compact, Layout::indented}) {
      const auto written = write_value(c.value, layout);
      ASSERT_FALSE(written.has_value()) << c.error;
      EXPECT_EQ(written.error(), c.error);
    }
  }
  EXPECT_EQ(unwritable_text_error("x\xc3").value(), "[json.exception.type_error.316] incomplete UTF-8 string; last byte: 0xC3");
  EXPECT_FALSE(unwritable_text_error("\xc3\xa9").has_value());
}

}  // namespace
}  // namespace kio::install::json
