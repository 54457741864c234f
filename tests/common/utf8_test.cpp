#include "common/utf8.h"

#include <gtest/gtest.h>

namespace kio {
namespace {

TEST(Utf8, LossyTextReplacesEachBrokenSequenceOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain \xC3\xA9", "plain \xC3\xA9"},
      {"a\xE2\x82" "b", "a" + r + "b"},           // a cut-off three-byte character
      {"\xFF\xFE", r + r},                         // two bytes that start nothing
      {"\xED\xA0\x80", r + r + r},                 // a surrogate is three bad bytes
      {"\xF0\x9F\x98", r},                         // four-byte character cut at the end
      {"\xC0\xAF", r + r},                         // overlong form
      {"\xF4\x90\x80\x80", r + r + r + r},         // beyond U+10FFFF
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(utf8_lossy(input), expected) << input;
}

TEST(Utf8, ValidityAtEveryBoundary) {
  struct Case {
    std::string_view text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"\x7f", true},
      {"\x80", false},                  // a continuation byte on its own
      {"\xC1\xBF", false},              // overlong two-byte form
      {"\xC2\x80", true},
      {"\xDF\xBF", true},
      {"\xC3", false},                  // cut at the end
      {"\xC3(", false},
      {"\xE0\x9F\xBF", false},          // overlong three-byte form
      {"\xE0\xA0\x80", true},
      {"\xED\x9F\xBF", true},
      {"\xED\xA0\x80", false},          // a surrogate
      {"\xEF\xBF\xBF", true},
      {"\xE2\x82", false},
      {"\xF0\x8F\xBF\xBF", false},      // overlong four-byte form
      {"\xF0\x90\x80\x80", true},
      {"\xF4\x8F\xBF\xBF", true},
      {"\xF4\x90\x80\x80", false},      // beyond U+10FFFF
      {"\xF5\x80\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false},  // five-byte form
      {"\xFE", false},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98", false},
      {"long ascii run, then \xC3\xA9", true},
      {"long ascii run, then \xC3\xA9\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << testing::PrintToString(std::string(c.text));
}

TEST(Utf8, ValidityAndTrimming) {
  EXPECT_TRUE(is_valid_utf8(std::string_view("\xE3\x80\x80 ok")));
  EXPECT_FALSE(is_valid_utf8(std::string_view("\xED\xA0\x80")));
  EXPECT_EQ(trim_unicode_whitespace("\xE3\x80\x80\xC2\x85 x \xE2\x80\xA8"), "x");
  EXPECT_EQ(trim_unicode_whitespace(" \xFF "), "\xFF");
}

}  // namespace
}  // namespace kio
