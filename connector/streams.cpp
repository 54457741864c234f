#include "connector/streams.h"

namespace kio::connector {

using p2p::P2PError;
using p2p::p2p_fail;
using p2p::P2PResult;

namespace {

// What a stream's spool file can grow to.
std::uint64_t spool_need(const install::FileStreamAnnounce& announce) {
  return announce.segment_count == 0 ? 0 : announce.total_bytes;
}

}  // namespace

StreamTable::StreamTable(std::filesystem::path spool_dir, StreamLimits limits)
    : spool_dir_(std::move(spool_dir)), limits_(limits) {}

std::string StreamTable::progress(const install::FileStreamReceiver& receiver) {
  return std::to_string(receiver.completed_frames()) + " of " + std::to_string(receiver.expected_frames()) +
         " frames arrived";
}

P2PResult<void> StreamTable::admit(std::uint64_t session_id, const install::FileStreamAnnounce& announce) const {
  std::size_t others = 0;
  std::uint64_t reserved = 0;
  for (const auto& [id, stream] : streams_) {
    if (id == session_id) continue;
    ++others;
    if (const auto& a = stream.receiver.announcement()) reserved += spool_need(*a);
  }
  const std::string name = "stream " + announce.blob_id + " refused: ";
  if (others >= limits_.max_streams) {
    return p2p_fail(P2PError::other(name + std::to_string(others) + " streams are in progress already"));
  }
  const std::uint64_t left = limits_.max_spool_bytes - std::min(reserved, limits_.max_spool_bytes);
  if (spool_need(announce) > left) {
    return p2p_fail(P2PError::other(name + "its " + std::to_string(announce.total_bytes) +
                                    " bytes do not fit in the spool space left (" + std::to_string(left) + " bytes)"));
  }
  return {};
}

P2PResult<std::optional<install::CompletedStream>> StreamTable::push(std::uint64_t session_id, std::uint8_t channel,
                                                                     std::vector<std::uint8_t>&& message,
                                                                     Clock::time_point now) {
  auto it = streams_.find(session_id);
  if (channel == install::FILE_STREAM_CONTROL_CHANNEL) {
    if (auto announce = install::FileStreamAnnounce::from_control_payload(message);
        announce && announce->schema == install::FILE_STREAM_SCHEMA) {
      if (auto admitted = admit(session_id, *announce); !admitted) {
        if (it != streams_.end()) streams_.erase(it);  // as after any refusal, the session's stream is dropped
        return p2p_fail(std::move(admitted.error()));
      }
      if (it == streams_.end()) {
        it = streams_.emplace(session_id, Stream{install::FileStreamReceiver({spool_dir_, limits_.max_partial_bytes}), now})
                 .first;
      }
      it->second.last_chunk = now;
    }
  }
  if (it == streams_.end()) return idle_.push(channel, std::move(message));

  auto pushed = it->second.receiver.push(channel, std::move(message));
  if (!pushed || *pushed) {
    streams_.erase(it);
    return pushed;
  }
  if (channel == install::FILE_STREAM_DATA_CHANNEL) it->second.last_chunk = now;
  return pushed;
}

std::optional<std::string> StreamTable::end_session(std::uint64_t session_id) {
  const auto it = streams_.find(session_id);
  if (it == streams_.end()) return std::nullopt;
  const auto& receiver = it->second.receiver;
  std::string report = "stream " + receiver.announcement()->blob_id + " abandoned: its session ended with " +
                       progress(receiver);
  streams_.erase(it);
  return report;
}

std::vector<std::string> StreamTable::abandon_stalled(Clock::time_point now) {
  std::vector<std::string> reports;
  std::erase_if(streams_, [&](const auto& entry) {
    const Stream& stream = entry.second;
    if (now - stream.last_chunk < limits_.stall_timeout) return false;
    reports.push_back("stream " + stream.receiver.announcement()->blob_id + " stalled: " + progress(stream.receiver) +
                      "; abandoned");
    return true;
  });
  return reports;
}

}  // namespace kio::connector
