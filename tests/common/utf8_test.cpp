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

TEST(Utf8, ValidityAndTrimming) {
  EXPECT_TRUE(is_valid_utf8(std::string_view("\xE3\x80\x80 ok")));
  EXPECT_FALSE(is_valid_utf8(std::string_view("\xED\xA0\x80")));
  EXPECT_EQ(trim_unicode_whitespace("\xE3\x80\x80\xC2\x85 x \xE2\x80\xA8"), "x");
  EXPECT_EQ(trim_unicode_whitespace(" \xFF "), "\xFF");
}

}  // namespace
}  // namespace kio
