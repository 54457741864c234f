#include "connector/key_intake.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kio::connector {
namespace {

// A starter that closed standard input gave no keys; that is the missing first
// line, not a read error.
TEST(KeyIntake, ClosedStandardInputIsMissingInput) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::close(fds[1]);
  const auto keys = read_keys_from_stdin(fds[0]);
  ASSERT_FALSE(keys.has_value());
  EXPECT_EQ(keys.error(), "noise key missing on stdin");
}

}  // namespace
}  // namespace kio::connector
