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

}  // namespace
}  // namespace kio::install::json
