// The bootstrap streams in progress, one per session: each session's messages
// feed only that session's receiver, so no session can reset, feed or complete
// another's stream. The table is bounded in streams and in spool space, and a
// stream that stops making progress is abandoned with a report.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "install/stream_receiver.h"
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

// Why a message was refused. When it ends a stream that was announced (the
// announcement refused, or the stream failing on the way), the report names
// that stream's blob id, so that its sender can be told which stream will not land.
struct StreamFailure {
  std::optional<std::string> blob_id;  // the stream that ends with this, if any
  std::string message;                 // the report
};

class StreamTable {
 public:
  using Clock = std::chrono::steady_clock;

  // Spool files are made in `spool_dir` (the blobs root), each once
  // `before_spool` (when given) allows it. With `unpack_as_received`, each
  // stream's files are also written as its bytes arrive, into a directory
  // beside its spool, by a writer thread of the stream's own (see
  // install::ReceiverOptions and install::StreamFilesWriter).
  explicit StreamTable(std::filesystem::path spool_dir, StreamLimits limits = {},
                       std::function<kio::Result<void>()> before_spool = {}, bool unpack_as_received = false);

  // One message of a session. An announcement starts (or restarts) the session's
  // stream, or is refused when the table is full or its size does not fit the
  // spool space left; everything else goes to the session's stream, or, with no
  // stream, is only checked (a malformed chunk is still an error). A stream that
  // completes or fails leaves the table; a failed one takes its spool with it.
  // A chunk's payload takes over the message's storage.
  std::expected<std::optional<install::CompletedStream>, StreamFailure> push(std::uint64_t session_id,
                                                                             std::uint8_t channel,
                                                                             std::vector<std::uint8_t>&& message,
                                                                             Clock::time_point now);

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
    std::string blob_id;  // as announced
  };
  // Nothing when the announcement may start a stream, else the refusal's report.
  kio::Result<void> admit(std::uint64_t session_id, const install::FileStreamAnnounce& announce) const;
  static std::string progress(const install::FileStreamReceiver& receiver);

  std::filesystem::path spool_dir_;
  StreamLimits limits_;
  std::function<kio::Result<void>()> before_spool_;
  bool unpack_as_received_ = false;
  std::unordered_map<std::uint64_t, Stream> streams_;
  // Takes the messages of sessions without a stream; it never has an
  // announcement, so it keeps nothing.
  install::FileStreamReceiver idle_;
};

}  // namespace kio::connector
