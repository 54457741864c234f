#include "install/stream_receiver.h"

#include <string>
#include <utility>

namespace kio::install {

namespace fs = std::filesystem;
using p2p::P2PError;
using p2p::p2p_fail;
using p2p::P2PResult;

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push(std::uint8_t channel,
                                                                   std::span<const std::uint8_t> message) {
  if (channel == FILE_STREAM_CONTROL_CHANNEL) return push_control(message);
  if (channel == FILE_STREAM_DATA_CHANNEL) return push_chunk(p2p::FrameChunk::deserialize(message));
  return std::nullopt;
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push(std::uint8_t channel,
                                                                   std::vector<std::uint8_t>&& message) {
  if (channel == FILE_STREAM_DATA_CHANNEL) return push_chunk(p2p::FrameChunk::deserialize(std::move(message)));
  return push(channel, std::span<const std::uint8_t>(message));
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_control(std::span<const std::uint8_t> message) {
  if (auto announce = FileStreamAnnounce::from_control_payload(message)) {
    if (announce->schema != FILE_STREAM_SCHEMA) return p2p_fail(P2PError::wire_format("file stream schema mismatch"));
    finish_stream();
    expected_stream_frames_ = announce->segment_count;
    reassembler_ = new_reassembler();
    record_digests_.emplace(announce->files);
    announce_ = std::move(*announce);
    return std::nullopt;
  }
  // A registration before the announcement would be dropped by it.
  if (!announce_) return std::nullopt;
  if (auto metadata = p2p::FrameMetadata::from_control_payload(message)) reassembler_.register_frame(*metadata);
  return std::nullopt;
}

void FileStreamReceiver::finish_stream() {
  announce_.reset();
  spool_.reset();  // removes the file
  unpacker_.reset();  // removes the directory
  stream_sha_ = Sha256();
  record_digests_.reset();
  stream_length_ = 0;
  completed_stream_frames_ = 0;
}

p2p::FrameReassembler FileStreamReceiver::new_reassembler() const {
  return p2p::FrameReassembler(options_.max_partial_bytes,
                               options_.spool_dir.empty() ? fs::temp_directory_path() : options_.spool_dir);
}

P2PResult<void> FileStreamReceiver::keep_frame(const p2p::CompletedStreamFrame& frame) {
  if (!spool_ && !unpacker_) {
    if (before_spool_) {
      if (auto allowed = before_spool_(); !allowed) return p2p_fail(P2PError::other(std::move(allowed.error())));
    }
    auto created = SpoolFile::create(options_.spool_dir);
    if (!created) return p2p_fail(P2PError::io(std::move(created.error())));
    if (options_.unpack_as_received) {
      // ".spool-<tag>" gives ".incoming-spool-<tag>": unique while the spool is.
      const fs::path spool_path = created->path();
      const fs::path dir = spool_path.parent_path() / (".incoming-" + spool_path.filename().string().substr(1));
      if (options_.write_in_background) {
        // The writer appends to the spool too, until the stream completes.
        unpacker_.emplace(dir, true, std::move(*created));
      } else {
        spool_.emplace(std::move(*created));
        unpacker_.emplace(dir, false);
      }
    } else {
      spool_.emplace(std::move(*created));
    }
  }
  return frame.read([this](std::span<const std::span<const std::uint8_t>> pieces) -> P2PResult<void> {
    for (const auto& piece : pieces) {
      stream_sha_.update(piece);
      record_digests_->update(piece);
    }
    if (unpacker_) unpacker_->update(pieces);
    if (spool_) {
      if (auto appended = spool_->append(pieces); !appended) return p2p_fail(P2PError::io(std::move(appended.error())));
    } else if (auto appended = unpacker_->spool_failure(); !appended) {
      return p2p_fail(P2PError::io(std::move(appended.error())));
    }
    return {};
  });
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_chunk(
    std::expected<p2p::FrameChunk, const char*> chunk) {
  if (!chunk) return p2p_fail(P2PError::wire_format(chunk.error()));
  // With no stream announced the chunk could only ever be discarded.
  if (!announce_) return std::nullopt;
  // Frames waiting on disk never hold more than what is left of the stream.
  reassembler_.set_spill_limit(announce_->total_bytes - stream_length_);
  auto added = reassembler_.add_chunk_parts(std::move(*chunk));
  if (!added) {
    P2PError error = std::move(added.error());
    std::string text = "stream " + announce_->blob_id + ": " + error.text();
    finish_stream();
    return p2p_fail(P2PError(error.kind(), std::move(text)));
  }
  auto& frame = *added;
  if (!frame) return std::nullopt;

  ++completed_stream_frames_;
  const std::uint64_t total_bytes = announce_->total_bytes;
  if (frame->size() > total_bytes - stream_length_) {
    // Stream frames only add bytes: the stream can no longer match its announced size.
    finish_stream();
    return p2p_fail(P2PError::wire_format("file stream size mismatch"));
  }
  // An announcement that waits for no stream frames never completes; its bytes
  // are counted for the size check but not kept.
  if (expected_stream_frames_ != 0) {
    if (auto kept = keep_frame(*frame); !kept) {
      finish_stream();
      return p2p_fail(std::move(kept.error()));
    }
  }
  stream_length_ += frame->size();
  frame.reset();

  if (expected_stream_frames_ == 0 || completed_stream_frames_ < expected_stream_frames_) return std::nullopt;

  const std::uint64_t length = stream_length_;
  const std::string digest = stream_sha_.finish_hex();
  if (!spool_ && unpacker_) {
    // Every byte handed to the writer is in the spool once it gives it back.
    auto spool = unpacker_->take_spool();
    if (!spool) {
      finish_stream();
      return p2p_fail(P2PError::io(std::move(spool.error())));
    }
    spool_.emplace(std::move(*spool));
  }
  CompletedStream completed{std::move(*announce_), std::move(*spool_), record_digests_->digests(),
                            std::move(unpacker_)};
  spool_.reset();
  unpacker_.reset();
  finish_stream();
  if (length != completed.announce.total_bytes) return p2p_fail(P2PError::wire_format("file stream size mismatch"));
  if (digest != completed.announce.sha256) return p2p_fail(P2PError::wire_format("file stream sha256 mismatch"));
  return completed;
}

}  // namespace kio::install
