// The file stream receiver fed arbitrary message sequences. The input is split
// into messages of the form: channel (1 byte), length (2 bytes, little-endian),
// bytes; a short tail is one last message. Like the connector, a fresh
// receiver replaces the old one after every error and every completed stream.
// A completed stream's spool file must match its announcement's size and digest,
// and no spool file may outlive the stream it belongs to. The spool directory
// is in a file system in memory of the input's own.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>

#include "fuzz/fuzz_support.h"
#include "install/stream_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kio::install::FileStreamReceiver;
  kio::fuzz::MemoryDisk disk;
  const std::filesystem::path spool = "/spool";
  if (!kio::make_directories(spool)) std::abort();
  const kio::install::ReceiverOptions options{spool, 1 << 20};
  {
    std::optional<FileStreamReceiver> receiver(std::in_place, options);
    std::size_t offset = 0;
    while (offset < size) {
      const std::uint8_t channel = data[offset++];
      std::size_t length = 0;
      if (size - offset >= 2) {
        length = data[offset] | (data[offset + 1] << 8);
        offset += 2;
      }
      length = std::min(length, size - offset);
      auto result = receiver->push(channel, std::span<const std::uint8_t>(data + offset, length));
      offset += length;
      if (!result) {
        receiver.emplace(options);
      } else if (*result) {
        const auto& stream = **result;
        if (stream.spool.size() != stream.announce.total_bytes) std::abort();
        auto digest = kio::install::sha256_file(stream.spool.path());
        if (!digest || *digest != stream.announce.sha256) std::abort();
        if (stream.announce.schema != kio::install::FILE_STREAM_SCHEMA) std::abort();
        receiver.emplace(options);
      }
    }
  }
  auto left = kio::list_directory(spool);
  if (!left || !left->empty()) std::abort();
  return 0;
}
