// The bootstrap streams in progress, one per session: each session's messages
// feed only that session's receiver, so no session can reset, feed or complete
// another's stream. The table is bounded in streams and in spool space, and a
// stream that stops making progress is abandoned with a report.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "install/bootstrap_stream.h"
#include "p2p/chunking.h"

namespace kio::connector {

struct StreamLimits {
  // Streams in progress at once, across all sessions.
  std::size_t max_streams = 4;
  // The announced sizes of the streams in progress, added up: what their spool
  // files can grow to.
  std::uint64_t max_spool_bytes = std::uint64_t{64} << 30;
  // A stream with no chunk for this long is abandoned.
  std::chrono::steady_clock::duration stall_timeout = std::chrono::seconds(10);
  std::size_t max_partial_bytes = p2p::MAX_PARTIAL_BYTES;
};

class StreamTable {
 public:
  using Clock = std::chrono::steady_clock;

  // Spool files are made in `spool_dir` (the blobs root).
  explicit StreamTable(std::filesystem::path spool_dir, StreamLimits limits = {});

  // One message of a session. An announcement starts (or restarts) the session's
  // stream, or is refused when the table is full or its size does not fit the
  // spool space left; everything else goes to the session's stream, or, with no
  // stream, is only checked (a malformed chunk is still an error). A stream that
  // completes or fails leaves the table; a failed one takes its spool with it.
  // A chunk's payload takes over the message's storage.
  p2p::P2PResult<std::optional<install::CompletedStream>> push(std::uint64_t session_id, std::uint8_t channel,
                                                              std::vector<std::uint8_t>&& message, Clock::time_point now);

  // The session is gone: its stream, if any, is abandoned. Returns the report.
  std::optional<std::string> end_session(std::uint64_t session_id);
  // Abandons every stream that has had no chunk for the stall time-out; one
  // report each.
  std::vector<std::string> abandon_stalled(Clock::time_point now);

  std::size_t size() const { return streams_.size(); }

 private:
  struct Stream {
    install::FileStreamReceiver receiver;
    Clock::time_point last_chunk;
  };
  p2p::P2PResult<void> admit(std::uint64_t session_id, const install::FileStreamAnnounce& announce) const;
  static std::string progress(const install::FileStreamReceiver& receiver);

  std::filesystem::path spool_dir_;
  StreamLimits limits_;
  std::unordered_map<std::uint64_t, Stream> streams_;
  // Takes the messages of sessions without a stream; it never has an
  // announcement, so it keeps nothing.
  install::FileStreamReceiver idle_;
};

}  // namespace kio::connector
