// The LTR's format: associated data and the exact text of a frame line.
#include <gtest/gtest.h>

#include "install/persist/ltr_format.h"
#include "tests/install/persist/fixture.h"

namespace kio::install {
namespace {

using namespace testing;

const std::string GENESIS(64, '0');

TEST(LtrFormat, AssociatedDataLayout) {
  const auto aad = ltr_aad("f1", LTR_STREAM_LABEL, 1, GENESIS);
  EXPECT_EQ(aad.size(), 114u);
  EXPECT_EQ(aad, hand_aad("f1", 1, GENESIS));
  EXPECT_EQ(ltr_aad("f1", "x", 18446744073709551615ull, "d"), bytes_of(std::string("kio.persist.ltr-frame.v1\0f1\0x\0", 30) +
                                                                       "18446744073709551615" + '\0' + "d"));
}

TEST(LtrFormat, FrameTextsAreEscapedExactly) {
  LtrFrame frame{"q\"b\\s\x01\x1f\b\t\n\f\r\x7f\xc3\xa9/", 1, 2, "p", "n", "c"};
  EXPECT_EQ(serialize_ltr_frame(frame).value(),
            "{\"schema\":\"q\\\"b\\\\s\\u0001\\u001f\\b\\t\\n\\f\\r\x7f\xc3\xa9/\",\"version\":1,\"sequence\":2,"
            "\"previous_digest\":\"p\",\"nonce_b64\":\"n\",\"ciphertext_b64\":\"c\"}");
  frame.nonce_b64 = "\xff";
  const auto refused = frame_digest(frame);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().message().starts_with("[json.exception.type_error.316]")) << refused.error();
}

}  // namespace
}  // namespace kio::install
