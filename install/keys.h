// The install's two keys as text: two lines of hexadecimal, the Noise static
// private key and then the store's wrap key. The connector reads them from its
// standard input; the tools read and write the same two lines in a keys file.
#pragma once

#include <optional>

#include "common/secret.h"
#include "common/result.h"

namespace kio::install {

struct InstallKeys {
  SecretKey noise_key;
  SecretKey wrap_key;
};

// The two key lines as read, before any decoding; a line is absent when the
// input ended before it.
struct KeyLines {
  std::optional<SecretText> noise;
  std::optional<SecretText> wrap;
};

// Reads the first two lines of `fd`, one byte at a time and never past the
// second line feed, so that a writer that keeps a pipe open is never waited on.
// A line ends at "\n" (a "\r" before it is dropped) or at the end of input; a
// closed descriptor is the end of input. A failed read is its system error
// text, a line that is not UTF-8 "stream did not contain valid UTF-8"; the
// first line's error comes before the second line is read.
Result<KeyLines> read_key_lines(int fd);

// Decodes both lines (white space around the digits is ignored) before
// checking either length, and judges the noise line first: hex_decode's
// messages, then "noise key must be 32 bytes", "wrap key must be 32 bytes".
Result<InstallKeys> decode_key_lines(const SecretText& noise_line, const SecretText& wrap_line);

// Both keys as the two lines above: 64 lowercase hex digits each, each line
// ending in "\n".
SecretText format_keys(const InstallKeys& keys);

}  // namespace kio::install
