#include "peer/stream_plan.h"

#include <algorithm>

#include "install/crypto.h"
#include "p2p/chunking.h"

namespace kio::peer {

kio::Result<StreamPlan> StreamPlan::plan(const StreamDescription& description, std::uint64_t size,
                                             std::string sha256, std::size_t stream_frame_size) {
  if (stream_frame_size == 0 || stream_frame_size > p2p::MAX_STREAM_FRAME_SIZE) {
    return kio::fail("frame size out of range");
  }
  const std::uint64_t frames = size == 0 ? 1 : (size - 1) / stream_frame_size + 1;
  if (frames > UINT32_MAX) return kio::fail("stream needs too many frames");

  StreamPlan plan;
  plan.announce_.schema = install::FILE_STREAM_SCHEMA;
  plan.announce_.feature_id = description.feature_id;
  plan.announce_.blob_id = description.blob_id;
  plan.announce_.blob_class = description.blob_class;
  plan.announce_.sha256 = std::move(sha256);
  plan.announce_.total_bytes = size;
  plan.announce_.segment_count = static_cast<std::uint32_t>(frames);
  plan.announce_.files = description.files;
  plan.stream_frame_size_ = stream_frame_size;
  return plan;
}

kio::Result<StreamPlan> StreamPlan::create(const StreamDescription& description,
                                               std::span<const std::uint8_t> stream, std::size_t stream_frame_size) {
  auto made = plan(description, stream.size(), install::sha256_hex(stream), stream_frame_size);
  if (!made) return made;
  made->own_source_ = std::make_unique<install::MemorySource>(stream);
  made->source_ = made->own_source_.get();
  return made;
}

kio::Result<StreamPlan> StreamPlan::create(const StreamDescription& description, install::ByteSource& source,
                                               std::string sha256, std::size_t stream_frame_size) {
  auto made = plan(description, source.size(), std::move(sha256), stream_frame_size);
  if (!made) return made;
  made->source_ = &source;
  return made;
}

std::size_t StreamPlan::frame_length(std::uint64_t frame) const {
  const std::uint64_t start = frame * stream_frame_size_;
  return static_cast<std::size_t>(std::min<std::uint64_t>(stream_frame_size_, announce_.total_bytes - start));
}

std::uint16_t StreamPlan::chunk_count(std::uint64_t frame) const {
  const std::size_t length = frame_length(frame);
  return static_cast<std::uint16_t>(length == 0 ? 1 : (length - 1) / p2p::MAX_CHUNK_SIZE + 1);
}

std::uint64_t StreamPlan::message_count() const {
  std::uint64_t count = 1;
  for (std::uint64_t f = 0; f < announce_.segment_count; ++f) count += 1 + chunk_count(f);
  return count;
}

std::optional<OutgoingMessage> StreamPlan::next() {
  if (!announced_) {
    announced_ = true;
    return OutgoingMessage{install::FILE_STREAM_CONTROL_CHANNEL, install::encode_announcement(announce_)};
  }
  if (error_ || frame_ >= announce_.segment_count) return std::nullopt;
  const std::uint16_t chunks = chunk_count(frame_);
  if (!registered_) {
    frame_bytes_.resize(frame_length(frame_));
    if (auto read = source_->read(frame_ * stream_frame_size_, frame_bytes_); !read) {
      error_ = read.error();
      return std::nullopt;
    }
    registered_ = true;
    return OutgoingMessage{install::FILE_STREAM_CONTROL_CHANNEL,
                           p2p::encode_registration(frame_, chunks, static_cast<std::uint32_t>(frame_bytes_.size()))};
  }
  const std::size_t offset = std::size_t{chunk_} * p2p::MAX_CHUNK_SIZE;
  const std::size_t length = std::min(p2p::MAX_CHUNK_SIZE, frame_bytes_.size() - offset);
  produced_ += length;
  OutgoingMessage message{install::FILE_STREAM_DATA_CHANNEL,
                          p2p::encode_chunk(frame_, static_cast<std::uint16_t>(chunk_), chunks,
                                            std::span<const std::uint8_t>(frame_bytes_).subspan(offset, length))};
  if (++chunk_ == chunks) {
    ++frame_;
    chunk_ = 0;
    registered_ = false;
  }
  return message;
}

kio::Result<std::vector<OutgoingMessage>> plan_stream(const StreamDescription& description,
                                                          std::span<const std::uint8_t> stream,
                                                          std::size_t stream_frame_size) {
  auto plan = StreamPlan::create(description, stream, stream_frame_size);
  if (!plan) return std::unexpected(plan.error());
  std::vector<OutgoingMessage> messages;
  while (auto message = plan->next()) messages.push_back(std::move(*message));
  return messages;
}

}  // namespace kio::peer
