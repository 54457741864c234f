// The file stream receiver fed arbitrary message sequences. The input is split
// into messages of the form: channel (1 byte), length (2 bytes, little-endian),
// bytes; a short tail is one last message. Like the connector, a fresh
// receiver replaces the old one after every error and every completed stream.
// A completed stream must match its announcement's size and digest.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "install/bootstrap_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kio::install::FileStreamReceiver;
  FileStreamReceiver receiver;
  std::size_t offset = 0;
  while (offset < size) {
    const std::uint8_t channel = data[offset++];
    std::size_t length = 0;
    if (size - offset >= 2) {
      length = data[offset] | (data[offset + 1] << 8);
      offset += 2;
    }
    length = std::min(length, size - offset);
    auto result = receiver.push(channel, std::span<const std::uint8_t>(data + offset, length));
    offset += length;
    if (!result) {
      receiver = FileStreamReceiver();
    } else if (*result) {
      const auto& stream = **result;
      if (stream.bytes.size() != stream.announce.total_bytes) std::abort();
      if (kio::install::sha256_hex(stream.bytes) != stream.announce.sha256) std::abort();
      if (stream.announce.schema != kio::install::FILE_STREAM_SCHEMA) std::abort();
      receiver = FileStreamReceiver();
    }
  }
  return 0;
}
