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
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/file_io.h"
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

// A file holding a stream's bytes as they arrive, named ".spool-" and a unique
// tag in the directory it was made in (the blobs root, so that landing can
// rename it into place). It is removed when dropped, unless it was moved.
class SpoolFile {
 public:
  static p2p::P2PResult<SpoolFile> create(const std::filesystem::path& dir);
  SpoolFile(SpoolFile&& other) noexcept;
  SpoolFile& operator=(SpoolFile&& other) noexcept;
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;
  ~SpoolFile();

  const std::filesystem::path& path() const { return path_; }
  int fd() const { return fd_.get(); }
  std::uint64_t size() const { return size_; }
  // Appends the pieces in order with as few system calls as it can.
  p2p::P2PResult<void> append(std::span<const std::span<const std::uint8_t>> pieces);
  // Renames the file to `destination` (on the same file system); from then on it
  // is no longer removed when dropped.
  p2p::P2PResult<void> move_to(const std::filesystem::path& destination);
  // Flushes the bytes to the device (their write-back was started as they came).
  p2p::P2PResult<void> flush();

  // Every leftover spool file in `dir` (a spool has no use after a restart).
  static void remove_leftovers(const std::filesystem::path& dir);

 private:
  SpoolFile(std::filesystem::path path, Fd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  void remove();

  std::filesystem::path path_;
  Fd fd_;
  std::uint64_t size_ = 0;
  std::uint64_t written_back_ = 0;  // bytes whose write-back was started
  bool owned_ = true;
};

// The digest of each listed file's content, computed from the stream bytes as
// they arrive by reading the file records on the fly: the digest of the last
// record of that name, as that is the content the file ends up with once
// unpacked. Only the announcement's names are hashed, and a name is kept only up
// to the longest listed one, so memory does not grow with the stream. A record
// that the stream does not complete gives no digest; unpacking reports why.
class RecordDigests {
 public:
  explicit RecordDigests(const std::vector<FileStreamEntry>& listed);
  void update(std::span<const std::uint8_t> bytes);
  // Listed name -> digest text, for every listed name with a complete record.
  const std::map<std::string, std::string>& digests() const { return digests_; }

 private:
  enum class Field { NameLength, Name, BodyLength, Body };
  void finish_body();

  std::vector<std::string> listed_;
  std::size_t longest_ = 0;
  Field field_ = Field::NameLength;
  std::uint8_t number_[8] = {};
  std::size_t number_filled_ = 0;
  std::uint64_t left_ = 0;  // of the name or body being read
  std::string name_;        // up to longest_ + 1 bytes of it
  bool hashing_ = false;    // the body belongs to a listed name
  Sha256 sha_;
  std::map<std::string, std::string> digests_;
};

// A stream whose every frame arrived and whose size and digest matched its
// announcement. The bytes are in the spool file, in the order their frames
// completed; what could be computed as they arrived comes along.
struct CompletedStream {
  FileStreamAnnounce announce;
  SpoolFile spool;
  std::map<std::string, std::string> file_digests;  // see RecordDigests
};

// Where and within what bounds a receiver keeps a stream.
struct ReceiverOptions {
  // The spool file, and the spill file of stream frames too large to be
  // reassembled in memory; empty: the system's temporary directory.
  std::filesystem::path spool_dir;
  std::size_t max_partial_bytes = p2p::MAX_PARTIAL_BYTES;
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
  // stream instead (the directory may no longer be the one it was meant to be).
  void set_before_spool(std::function<p2p::P2PResult<void>()> check) { before_spool_ = std::move(check); }

  // The stream in progress, if one is announced.
  const std::optional<FileStreamAnnounce>& announcement() const { return announce_; }
  std::uint64_t completed_frames() const { return completed_stream_frames_; }
  std::uint32_t expected_frames() const { return expected_stream_frames_; }
  std::uint64_t stream_bytes() const { return stream_length_; }

 private:
  p2p::P2PResult<std::optional<CompletedStream>> push_control(std::span<const std::uint8_t> message);
  p2p::P2PResult<std::optional<CompletedStream>> push_chunk(std::expected<p2p::FrameChunk, const char*> chunk);
  p2p::P2PResult<void> keep_frame(const p2p::CompletedStreamFrame& frame);
  void finish_stream();
  p2p::FrameReassembler new_reassembler() const;

  ReceiverOptions options_;
  std::function<p2p::P2PResult<void>()> before_spool_;
  std::optional<SpoolFile> spool_;
  Sha256 stream_sha_;
  std::optional<RecordDigests> record_digests_;
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
// empty stream) and returns their paths in stream order. Every file is flushed
// to stable storage before the call returns (its write-back starts as soon as
// it is written). Files written before a failing record stay. A name that is empty, holds "/", "\" or a NUL byte, or is
// exactly ".." is refused; an existing symbolic link is never written through.
p2p::P2PResult<std::vector<std::filesystem::path>> unpack_files(std::span<const std::uint8_t> stream,
                                                                const std::filesystem::path& dir);

// The same for stream bytes held in a file (a landed stream's "packed.bin"):
// records are read from the file and bodies copied inside the kernel where the
// file systems allow, so no body passes through this process's memory.
p2p::P2PResult<std::vector<std::filesystem::path>> unpack_files_from(const std::filesystem::path& packed,
                                                                     const std::filesystem::path& dir);

// `unpack_files`, then checks the digest of every file the announcement lists
// (streamed in 64 KiB blocks). A listed name that could not have come from the
// stream (see `unpack_files`) is refused before anything is read.
p2p::P2PResult<std::vector<std::filesystem::path>> materialize_stream(const FileStreamAnnounce& announce,
                                                                      std::span<const std::uint8_t> stream,
                                                                      const std::filesystem::path& dir);
// The same for a received stream whose bytes are in `packed`: a listed file is
// checked against the digest computed as the stream arrived (`file_digests`),
// without reading it again; only a listed name that no record carried is looked
// up on disk. The paths written are not kept, as their number grows with the
// stream.
p2p::P2PResult<void> materialize_stream(const FileStreamAnnounce& announce, const std::filesystem::path& packed,
                                        const std::map<std::string, std::string>& file_digests,
                                        const std::filesystem::path& dir);

}  // namespace kio::install
