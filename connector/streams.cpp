#include "connector/streams.h"

#include "install/stream_reports.h"

namespace kio::connector {

using p2p::P2PError;

namespace {

// What a stream's spool file can grow to.
std::uint64_t spool_need(const install::FileStreamAnnounce& announce) {
  return announce.segment_count == 0 ? 0 : announce.total_bytes;
}

// A stream that ends on an error: the report names it, once.
StreamFailure failed(const std::string& blob_id, const P2PError& error) {
  std::string text = error.display();
  // An error that names the stream already is reported as it is.
  if (text.find("stream " + blob_id) == std::string::npos) text = install::stream_failed_report(blob_id, text);
  return StreamFailure{blob_id, std::move(text)};
}

}  // namespace

StreamTable::StreamTable(std::filesystem::path spool_dir, StreamLimits limits,
                         std::function<kio::Result<void>()> before_spool, bool unpack_as_received)
    : spool_dir_(std::move(spool_dir)),
      limits_(limits),
      before_spool_(std::move(before_spool)),
      unpack_as_received_(unpack_as_received) {}

std::string StreamTable::progress(const install::FileStreamReceiver& receiver) {
  return std::to_string(receiver.completed_frames()) + " of " + std::to_string(receiver.expected_frames()) +
         " frames arrived";
}

kio::Result<void> StreamTable::admit(std::uint64_t session_id, const install::FileStreamAnnounce& announce) const {
  std::size_t others = 0;
  std::uint64_t reserved = 0;
  for (const auto& [id, stream] : streams_) {
    if (id == session_id) continue;
    ++others;
    if (const auto& a = stream.receiver.announcement()) reserved += spool_need(*a);
  }
  if (others >= limits_.max_streams) {
    return kio::fail(
        install::stream_refused_report(announce.blob_id, std::to_string(others) + " streams are in progress already"));
  }
  const std::uint64_t left = limits_.max_spool_bytes - std::min(reserved, limits_.max_spool_bytes);
  if (spool_need(announce) > left) {
    return kio::fail(install::stream_refused_report(
        announce.blob_id, "its " + std::to_string(announce.total_bytes) + " bytes do not fit in the spool space left (" +
                              std::to_string(left) + " bytes)"));
  }
  return {};
}

std::expected<std::optional<install::CompletedStream>, StreamFailure> StreamTable::push(
    std::uint64_t session_id, std::uint8_t channel, std::vector<std::uint8_t>&& message, Clock::time_point now) {
  auto it = streams_.find(session_id);
  if (channel == install::FILE_STREAM_CONTROL_CHANNEL) {
    if (auto announce = install::FileStreamAnnounce::from_control_payload(message)) {
      // As after any refusal, the session's earlier stream, if any, is dropped.
      if (announce->schema != install::FILE_STREAM_SCHEMA) {
        if (it != streams_.end()) streams_.erase(it);
        return std::unexpected(StreamFailure{
            announce->blob_id, install::stream_refused_report(
                                   announce->blob_id, P2PError::wire_format("file stream schema mismatch").display())});
      }
      if (auto admitted = admit(session_id, *announce); !admitted) {
        if (it != streams_.end()) streams_.erase(it);
        return std::unexpected(StreamFailure{announce->blob_id, std::move(admitted.error())});
      }
      if (it == streams_.end()) {
        install::FileStreamReceiver receiver(
            {spool_dir_, limits_.max_partial_bytes, unpack_as_received_, unpack_as_received_});
        receiver.set_before_spool(before_spool_);
        it = streams_.emplace(session_id, Stream{std::move(receiver), now, {}}).first;
      }
      it->second.last_chunk = now;
      it->second.blob_id = announce->blob_id;
    }
  }
  if (it == streams_.end()) {
    auto pushed = idle_.push(channel, std::move(message));
    if (!pushed) return std::unexpected(StreamFailure{std::nullopt, pushed.error().display()});
    return std::move(*pushed);
  }

  auto pushed = it->second.receiver.push(channel, std::move(message));
  if (!pushed) {
    StreamFailure failure = failed(it->second.blob_id, pushed.error());
    streams_.erase(it);
    return std::unexpected(std::move(failure));
  }
  if (*pushed) {
    streams_.erase(it);
    return std::move(*pushed);
  }
  if (channel == install::FILE_STREAM_DATA_CHANNEL) it->second.last_chunk = now;
  return std::nullopt;
}

std::optional<std::string> StreamTable::end_session(std::uint64_t session_id) {
  const auto it = streams_.find(session_id);
  if (it == streams_.end()) return std::nullopt;
  const auto& receiver = it->second.receiver;
  std::string report = install::stream_orphaned_report(it->second.blob_id, progress(receiver));
  streams_.erase(it);
  return report;
}

std::vector<std::string> StreamTable::abandon_stalled(Clock::time_point now) {
  std::vector<std::string> reports;
  std::erase_if(streams_, [&](const auto& entry) {
    const Stream& stream = entry.second;
    if (now - stream.last_chunk < limits_.stall_timeout) return false;
    reports.push_back(install::stream_stalled_report(stream.blob_id, progress(stream.receiver)));
    return true;
  });
  return reports;
}

}  // namespace kio::connector
