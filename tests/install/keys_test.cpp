#include "install/keys.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

namespace kio::install {
namespace {

// A pipe whose write end stays open until the test closes it, as a starter
// that keeps the connector's standard input open does.
class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    close_writer();
    ::close(fds_[0]);
  }
  int reader() const { return fds_[0]; }
  void write(const std::string& text) {
    if (::write(fds_[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      throw std::runtime_error("write failed");
    }
  }
  void close_writer() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  std::string rest() {
    close_writer();
    std::string out;
    char c;
    while (::read(fds_[0], &c, 1) == 1) out.push_back(c);
    return out;
  }

 private:
  int fds_[2];
};

std::optional<std::string> text_of(const std::optional<SecretText>& line) {
  if (!line) return std::nullopt;
  return std::string(line->view());
}

TEST(KeyLines, ReadsTwoLinesAndNothingBeyond) {
  struct Case {
    std::string input;
    std::optional<std::string> noise;
    std::optional<std::string> wrap;
    std::string left;  // what a later reader of the input still gets
  };
  const Case cases[] = {
      {"", std::nullopt, std::nullopt, ""},
      {"a", "a", std::nullopt, ""},
      {"a\n", "a", std::nullopt, ""},
      {"a\nb", "a", "b", ""},
      {"\n\n", "", "", ""},
      {"a\r\nb\r\nrest\n", "a", "b", "rest\n"},
      {" a \r\r\nb\n\n", " a \r", "b", "\n"},
      {"a\nb\nc\nd", "a", "b", "c\nd"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Pipe pipe;
    pipe.write(c.input);
    // With input still to come the reader stops at the second line feed; without
    // one it needs the end of input.
    if (std::count(c.input.begin(), c.input.end(), '\n') < 2) pipe.close_writer();
    auto lines = read_key_lines(pipe.reader());
    ASSERT_TRUE(lines) << lines.error();
    EXPECT_EQ(text_of(lines->noise), c.noise);
    EXPECT_EQ(text_of(lines->wrap), c.wrap);
    EXPECT_EQ(pipe.rest(), c.left);
  }
}

TEST(KeyLines, AFirstLineThatIsNotUtf8StopsBeforeTheSecond) {
  Pipe pipe;
  pipe.write("\xff\xfe\nsecond\n");
  auto lines = read_key_lines(pipe.reader());
  ASSERT_FALSE(lines);
  EXPECT_EQ(lines.error(), "stream did not contain valid UTF-8");
  EXPECT_EQ(pipe.rest(), "second\n");
}

// The keys file the tools write is what the connector reads on its standard input.
TEST(KeyLines, FormattedKeysReadBackAsTheSameKeys) {
  InstallKeys keys;
  randombytes_buf(keys.noise_key.data(), SecretKey::size);
  randombytes_buf(keys.wrap_key.data(), SecretKey::size);
  keys.wrap_key.data()[0] = 0xAB;  // lowercase digits

  const SecretText text = format_keys(keys);
  ASSERT_EQ(text.view().size(), 130u);
  EXPECT_EQ(text.view()[64], '\n');
  EXPECT_EQ(text.view()[129], '\n');
  EXPECT_EQ(text.view().substr(65, 2), "ab");

  Pipe pipe;
  pipe.write(std::string(text.view()));
  auto lines = read_key_lines(pipe.reader());
  ASSERT_TRUE(lines && lines->noise && lines->wrap);
  auto read = decode_key_lines(*lines->noise, *lines->wrap);
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(std::string(read->noise_key.span().begin(), read->noise_key.span().end()),
            std::string(keys.noise_key.span().begin(), keys.noise_key.span().end()));
  EXPECT_EQ(std::string(read->wrap_key.span().begin(), read->wrap_key.span().end()),
            std::string(keys.wrap_key.span().begin(), keys.wrap_key.span().end()));
}

}  // namespace
}  // namespace kio::install
