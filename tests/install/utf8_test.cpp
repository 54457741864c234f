#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace kio {
namespace {

// A path or name that is not UTF-8 is shown with one U+FFFD for each maximal
// ill-formed piece, the way other UTF-8 decoders show it.
TEST(Utf8Lossy, ReplacesEachIllFormedPieceOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    const char* name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"valid text unchanged", "a\xC3\xA9z", "a\xC3\xA9z"},
      {"stray continuation byte", "a\x80z", "a" + r + "z"},
      {"byte that never starts a sequence", "\xFF\xC0", r + r},
      {"four-byte sequence cut short", "a\xF0\x9F\x98", "a" + r},
      {"three-byte sequence cut by ASCII", "\xE2\x82z", r + "z"},
      {"overlong three-byte start", "\xE0\x80\x80", r + r + r},
      {"surrogate", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_lossy(c.input), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kio
