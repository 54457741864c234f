// Bootstrap file streams: the announcement and the packed file records in both
// directions, the receiver, and the unpacking of a received stream into files.
//
// A sender announces a stream on the control channel (0xFB and a JSON
// FileStreamAnnounce), then sends it stream frame by stream frame: each
// registered on the control channel (0xFA, 15 bytes) and carried in chunks on
// the data channel (p2p/chunking). Stream frames must complete in stream order;
// when the announced number has completed, the stream is checked against the
// announced size and digest.
//
// Stream bytes are file records, one after another, little-endian:
//   u32 name length N | N bytes UTF-8 name | u64 body length B | B bytes body
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "install/crypto.h"
#include "p2p/chunking.h"
#include "p2p/error.h"

namespace kio::install {

inline constexpr char FILE_STREAM_SCHEMA[] = "kio.bulk.file-stream.v1";
inline constexpr std::uint8_t FILE_STREAM_ANNOUNCE_MARKER = 0xFB;
inline constexpr std::uint8_t FILE_STREAM_CONTROL_CHANNEL = 0;
inline constexpr std::uint8_t FILE_STREAM_DATA_CHANNEL = 1;

struct FileStreamEntry {
  std::string name;
  std::uint64_t size = 0;  // not compared by the receiver
  std::string sha256;

  bool operator==(const FileStreamEntry&) const = default;
};

struct FileStreamAnnounce {
  std::string schema;
  std::string feature_id;
  std::string blob_id;
  std::string blob_class;
  std::string sha256;
  std::uint64_t total_bytes = 0;
  std::uint32_t segment_count = 0;
  std::vector<FileStreamEntry> files;

  // The announcement in a control message, or nothing when the message is not
  // one (no 0xFB marker, or JSON that is not a readable announcement). The
  // schema is not checked here.
  static std::optional<FileStreamAnnounce> from_control_payload(std::span<const std::uint8_t> bytes);

  bool operator==(const FileStreamAnnounce&) const = default;
};

// 0xFB followed by the announcement as compact JSON, members in declaration
// order. The schema is written as given, so tests can build refused ones.
Bytes encode_announcement(const FileStreamAnnounce& announce);

struct CompletedStream {
  FileStreamAnnounce announce;
  std::vector<std::uint8_t> bytes;
};

// Reassembles one announced stream at a time from the messages of a session.
//
// Memory stays tied to bytes that actually arrived: completed stream frames are
// appended straight into one stream buffer (reserved from `total_bytes` only
// up to a cap, and only once data arrives), a stream that outgrows its
// announced size is refused at once, stream frames that complete while no
// stream is announced are dropped (the next announcement would discard them
// anyway), and an announcement with no stream frames to wait for keeps no bytes
// at all.
class FileStreamReceiver {
 public:
  // The largest up-front reservation taken from an announced size.
  static constexpr std::size_t MAX_UPFRONT_RESERVE = std::size_t{128} << 20;

  FileStreamReceiver() = default;

  // Channel 0: an announcement (restarts everything) or a frame registration;
  // channel 1: a chunk; other channels are ignored. Returns the completed
  // stream when its last frame completes, or a WireFormat error.
  p2p::P2PResult<std::optional<CompletedStream>> push(std::uint8_t channel, std::span<const std::uint8_t> message);

 private:
  p2p::P2PResult<std::optional<CompletedStream>> push_control(std::span<const std::uint8_t> message);
  p2p::P2PResult<std::optional<CompletedStream>> push_chunk(std::span<const std::uint8_t> message);
  void finish_stream();

  // Concatenation of the stream frames completed since the announcement.
  std::vector<std::uint8_t> stream_;
  std::uint64_t stream_length_ = 0;  // also counted when no bytes are kept
  std::uint64_t completed_stream_frames_ = 0;
  std::optional<FileStreamAnnounce> announce_;
  p2p::FrameReassembler reassembler_;
  std::uint32_t expected_stream_frames_ = 0;
};

// One file of a stream: its name and its content.
using NamedFile = std::pair<std::string, Bytes>;

// Stream bytes: one record per file, in the given order. Names are written as
// given, so tests can build streams that unpack_files must refuse.
Bytes pack_files(std::span<const NamedFile> files);

// Writes the stream's files into `dir` (created with its ancestors, also for an
// empty stream) and returns their paths in stream order. Each file is flushed
// to stable storage before the next record is read. Files written before a
// failing record stay. A name that is empty, holds "/", "\" or a NUL byte, or is
// exactly ".." is refused; an existing symbolic link is never written through.
p2p::P2PResult<std::vector<std::filesystem::path>> unpack_files(std::span<const std::uint8_t> stream,
                                                                const std::filesystem::path& dir);

// `unpack_files`, then checks the digest of every file the announcement lists
// (streamed in 64 KiB blocks). A listed name that could not have come from the
// stream (see `unpack_files`) is refused before anything is read.
p2p::P2PResult<std::vector<std::filesystem::path>> materialize_stream(const FileStreamAnnounce& announce,
                                                                      std::span<const std::uint8_t> stream,
                                                                      const std::filesystem::path& dir);

}  // namespace kio::install
