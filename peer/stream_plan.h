// The sending plan of a bootstrap file stream: the ordered messages a peer sends
// for a stream. Every byte of those messages is written by the modules that also
// read it (install/stream_format for the announcement, p2p/chunking for
// registrations and chunks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "install/byte_source.h"
#include "common/result.h"
#include "install/stream_format.h"

namespace kio::peer {

struct OutgoingMessage {
  std::uint8_t channel = 0;
  Bytes bytes;

  bool operator==(const OutgoingMessage&) const = default;
};

// What the sender says about a stream; schema, digest, size and stream frame
// count are filled in by the planner.
struct StreamDescription {
  std::string feature_id;
  std::string blob_id;
  std::string blob_class;
  std::vector<install::FileStreamEntry> files;
};

// The messages of one stream, produced one at a time: the announcement on
// channel 0, then for each stream frame its registration on channel 0 followed
// by its chunks on channel 1, so that stream frames complete in stream order.
// Frame ids count from 0; the registration's value is the stream frame's length
// in bytes. An empty stream is one stream frame of one empty chunk (a stream of
// no stream frames never completes).
//
// The plan refers to the stream bytes (or their source), which must outlive it.
// It holds one stream frame's bytes at a time.
class StreamPlan {
 public:
  static constexpr std::size_t DEFAULT_STREAM_FRAME_SIZE = std::size_t{1} << 20;

  // Fails when the stream frame size is 0 or above p2p::MAX_STREAM_FRAME_SIZE,
  // or the stream needs more than 2^32 - 1 stream frames.
  static kio::Result<StreamPlan> create(const StreamDescription& description, std::span<const std::uint8_t> stream,
                                            std::size_t stream_frame_size = DEFAULT_STREAM_FRAME_SIZE);
  // The same for bytes read from `source` as they are sent, whose digest text the
  // caller computed.
  static kio::Result<StreamPlan> create(const StreamDescription& description, install::ByteSource& source,
                                            std::string sha256,
                                            std::size_t stream_frame_size = DEFAULT_STREAM_FRAME_SIZE);

  StreamPlan(StreamPlan&&) noexcept = default;
  StreamPlan& operator=(StreamPlan&&) noexcept = default;

  const install::FileStreamAnnounce& announcement() const { return announce_; }
  // Total number of messages the plan produces.
  std::uint64_t message_count() const;
  // The next message, or nothing once all were produced, or when the source
  // could not be read: error() then says why.
  std::optional<OutgoingMessage> next();
  const std::optional<std::string>& error() const { return error_; }
  // The stream bytes carried by the chunks produced so far.
  std::uint64_t produced_bytes() const { return produced_; }

 private:
  StreamPlan() = default;
  static kio::Result<StreamPlan> plan(const StreamDescription& description, std::uint64_t size, std::string sha256,
                                          std::size_t stream_frame_size);
  std::size_t frame_length(std::uint64_t frame) const;
  std::uint16_t chunk_count(std::uint64_t frame) const;

  install::FileStreamAnnounce announce_;
  std::unique_ptr<install::ByteSource> own_source_;  // for a stream in memory
  install::ByteSource* source_ = nullptr;
  Bytes frame_bytes_;  // the current stream frame
  std::optional<std::string> error_;
  std::size_t stream_frame_size_ = DEFAULT_STREAM_FRAME_SIZE;
  bool announced_ = false;
  std::uint64_t frame_ = 0;     // current stream frame
  bool registered_ = false;     // its registration was produced
  std::uint32_t chunk_ = 0;     // its next chunk
  std::uint64_t produced_ = 0;  // stream bytes in the chunks produced
};

// Every message of a plan, for tests and small streams.
kio::Result<std::vector<OutgoingMessage>> plan_stream(const StreamDescription& description,
                                                          std::span<const std::uint8_t> stream,
                                                          std::size_t stream_frame_size =
                                                              StreamPlan::DEFAULT_STREAM_FRAME_SIZE);

}  // namespace kio::peer
