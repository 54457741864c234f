// Receives an announced bootstrap stream from the messages of one session.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "install/crypto.h"
#include "common/result.h"
#include "install/record_digests.h"
#include "install/spool_file.h"
#include "install/stream_format.h"
#include "install/unpack.h"
#include "p2p/chunking.h"
#include "p2p/error.h"

namespace kio::install {

// A stream whose every frame arrived and whose size and digest matched its
// announcement. The bytes are in the spool file, in the order their frames
// completed; what could be computed or written as they arrived comes along.
struct CompletedStream {
  FileStreamAnnounce announce;
  SpoolFile spool;
  std::map<std::string, std::string> file_digests;  // see RecordDigests
  // The stream's files, when they were written as the bytes arrived (see
  // ReceiverOptions::unpack_as_received); `finish` is still to be called.
  std::optional<StreamFilesWriter> unpacked = std::nullopt;
};

// Where and within what bounds a receiver keeps a stream.
struct ReceiverOptions {
  // The spool file, and the spill file of stream frames too large to be
  // reassembled in memory; empty: the system's temporary directory.
  std::filesystem::path spool_dir;
  std::size_t max_partial_bytes = p2p::MAX_PARTIAL_BYTES;
  // Also write the stream's files as its bytes arrive, into a directory made
  // beside the spool file and named after it (".incoming-spool-" and the spool's
  // tag), removed with the spool when the stream ends without being handed out.
  bool unpack_as_received = false;
  // ...and write them on a thread of their own, so that receiving goes on
  // meanwhile (see StreamFilesWriter). Off, every write is done by `push`, in
  // the order a test of the file system's operations can count.
  bool write_in_background = false;
};

// Reassembles one announced stream at a time from the messages of one session.
//
// Memory does not grow with the stream: each completed stream frame is appended
// to a spool file at once and fed to the stream digest and to the per-file
// digests, partial frames are bounded in number and bytes (frames too large for
// that bound wait on disk, in a spill file beside the spool, their chunks never
// holding more than is left of the announced size), a stream that
// outgrows its announced size is refused at once, and nothing is kept while no
// stream is announced (registrations and chunks then could only ever be
// discarded by the next announcement; chunks are still decoded, so that a
// malformed one is reported). An announcement with no stream frames to wait for
// keeps no bytes at all. The spool file is created with the first stream frame
// and removed whenever the stream ends without being handed out.
class FileStreamReceiver {
 public:
  FileStreamReceiver() : FileStreamReceiver(ReceiverOptions{}) {}
  explicit FileStreamReceiver(ReceiverOptions options)
      : options_(std::move(options)), reassembler_(new_reassembler()) {}

  // Channel 0: an announcement (restarts everything) or a frame registration;
  // channel 1: a chunk; other channels are ignored. Returns the completed
  // stream when its last frame completes, or a WireFormat error (an Io error
  // when the spool or the spill file cannot be written; a refusal, naming the
  // stream and the frame, when a frame on disk would pass the announced size).
  // Decrypted chunk payloads are wiped when released.
  p2p::P2PResult<std::optional<CompletedStream>> push(std::uint8_t channel, std::span<const std::uint8_t> message);
  // The same; a chunk's payload takes over the message's storage.
  p2p::P2PResult<std::optional<CompletedStream>> push(std::uint8_t channel, std::vector<std::uint8_t>&& message);

  // Asked before a file is made in the spool directory; its error ends the
  // stream instead (the directory may no longer be the one it was meant to be),
  // its text reported as it is.
  void set_before_spool(std::function<Result<void>()> check) { before_spool_ = std::move(check); }

  // The stream in progress, if one is announced.
  const std::optional<FileStreamAnnounce>& announcement() const { return announce_; }
  std::uint64_t completed_frames() const { return completed_stream_frames_; }
  std::uint32_t expected_frames() const { return expected_stream_frames_; }

 private:
  p2p::P2PResult<std::optional<CompletedStream>> push_control(std::span<const std::uint8_t> message);
  p2p::P2PResult<std::optional<CompletedStream>> push_chunk(std::expected<p2p::FrameChunk, const char*> chunk);
  p2p::P2PResult<void> keep_frame(const p2p::CompletedStreamFrame& frame);
  void finish_stream();
  p2p::FrameReassembler new_reassembler() const;

  ReceiverOptions options_;
  std::function<Result<void>()> before_spool_;
  std::optional<SpoolFile> spool_;
  std::optional<StreamFilesWriter> unpacker_;
  Sha256 stream_sha_;
  std::optional<RecordDigests> record_digests_;
  std::uint64_t stream_length_ = 0;  // also counted when no bytes are kept
  std::uint64_t completed_stream_frames_ = 0;
  std::optional<FileStreamAnnounce> announce_;
  p2p::FrameReassembler reassembler_;
  std::uint32_t expected_stream_frames_ = 0;
};

}  // namespace kio::install
