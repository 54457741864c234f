#include "peer/stream_plan.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/os_error.h"
#include "install/crypto.h"
#include "p2p/chunking.h"

namespace kio::peer {
namespace {

namespace fs = std::filesystem;

}  // namespace

install::Result<std::vector<NamedFile>> read_directory_files(const fs::path& dir) {
  std::error_code ec;
  std::vector<NamedFile> files;
  fs::directory_iterator it(dir, ec);
  if (ec) return install::fail(os_error_text(ec));
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return install::fail(os_error_text(ec));
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    if (!in) return install::fail("cannot read " + it->path().string());
    Bytes body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return install::fail("cannot read " + it->path().string());
    files.emplace_back(it->path().filename().string(), std::move(body));
  }
  if (ec) return install::fail(os_error_text(ec));
  std::sort(files.begin(), files.end(), [](const NamedFile& a, const NamedFile& b) { return a.first < b.first; });
  return files;
}

std::vector<install::FileStreamEntry> file_entries(const std::vector<NamedFile>& files) {
  std::vector<install::FileStreamEntry> entries;
  entries.reserve(files.size());
  for (const auto& [name, body] : files) entries.push_back({name, body.size(), install::sha256_hex(body)});
  return entries;
}

// ---- StreamPlan

install::Result<StreamPlan> StreamPlan::create(const StreamDescription& description,
                                               std::span<const std::uint8_t> stream, std::size_t stream_frame_size) {
  if (stream_frame_size == 0 || stream_frame_size > p2p::MAX_STREAM_FRAME_SIZE) {
    return install::fail("frame size out of range");
  }
  const std::uint64_t frames = stream.empty() ? 1 : (stream.size() - 1) / stream_frame_size + 1;
  if (frames > UINT32_MAX) return install::fail("stream needs too many frames");

  StreamPlan plan;
  plan.announce_.schema = install::FILE_STREAM_SCHEMA;
  plan.announce_.feature_id = description.feature_id;
  plan.announce_.blob_id = description.blob_id;
  plan.announce_.blob_class = description.blob_class;
  plan.announce_.sha256 = install::sha256_hex(stream);
  plan.announce_.total_bytes = stream.size();
  plan.announce_.segment_count = static_cast<std::uint32_t>(frames);
  plan.announce_.files = description.files;
  plan.stream_ = stream;
  plan.stream_frame_size_ = stream_frame_size;
  return plan;
}

std::size_t StreamPlan::frame_length(std::uint64_t frame) const {
  const std::uint64_t start = frame * stream_frame_size_;
  return static_cast<std::size_t>(std::min<std::uint64_t>(stream_frame_size_, stream_.size() - start));
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
  if (frame_ >= announce_.segment_count) return std::nullopt;
  const std::uint16_t chunks = chunk_count(frame_);
  if (!registered_) {
    registered_ = true;
    return OutgoingMessage{install::FILE_STREAM_CONTROL_CHANNEL,
                           p2p::encode_registration(frame_, chunks, static_cast<std::uint32_t>(frame_length(frame_)))};
  }
  const std::size_t frame_start = static_cast<std::size_t>(frame_ * stream_frame_size_);
  const std::size_t offset = frame_start + std::size_t{chunk_} * p2p::MAX_CHUNK_SIZE;
  const std::size_t frame_end = frame_start + frame_length(frame_);
  const std::size_t length = std::min(p2p::MAX_CHUNK_SIZE, frame_end - offset);
  OutgoingMessage message{install::FILE_STREAM_DATA_CHANNEL,
                          p2p::encode_chunk(frame_, static_cast<std::uint16_t>(chunk_), chunks,
                                            stream_.subspan(offset, length))};
  if (++chunk_ == chunks) {
    ++frame_;
    chunk_ = 0;
    registered_ = false;
  }
  return message;
}

install::Result<std::vector<OutgoingMessage>> plan_stream(const StreamDescription& description,
                                                          std::span<const std::uint8_t> stream,
                                                          std::size_t stream_frame_size) {
  auto plan = StreamPlan::create(description, stream, stream_frame_size);
  if (!plan) return std::unexpected(plan.error());
  std::vector<OutgoingMessage> messages;
  while (auto message = plan->next()) messages.push_back(std::move(*message));
  return messages;
}

}  // namespace kio::peer
