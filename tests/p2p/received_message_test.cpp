#include "p2p/received_message.h"

#include <gtest/gtest.h>

#include <string>

#include "p2p/kiofeature_frame.h"
#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

// A version-7 feature id (byte 6 is 0x7_).
const std::string kId = "01a0b0d497d67083bd74ab53fb6f92a0";

TEST(ReceivedMessageFrame, DecodesThePayloadWhateverTheChannel) {
  ReceivedMessage message;
  message.channel_id = 3;
  message.payload = test::from_hex(kId + "07026869");
  auto frame = message.as_kiofeature_frame();
  ASSERT_TRUE(frame) << frame.error().display();
  EXPECT_EQ(frame->frame_value, 7u);
  EXPECT_EQ(frame->payload, test::bytes_of("hi"));

  message.payload.push_back(0);
  EXPECT_EQ(message.as_kiofeature_frame().error().display(),
            "protocol failure: kiofeature payload length does not exactly match input");
}

}  // namespace
}  // namespace kio::p2p
