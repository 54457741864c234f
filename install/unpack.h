// Turns received stream bytes back into the files they pack.
#pragma once

#include <sys/uio.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/file_system.h"
#include "install/byte_source.h"
#include "install/spool_file.h"
#include "common/result.h"
#include "install/stream_format.h"

namespace kio::install {

// Writes the stream's files into `dir` (created with its ancestors, also for an
// empty stream), in stream order: a later record of a name replaces the file of
// an earlier one. Every file is flushed to stable storage before the call
// returns (its write-back starts as soon as it is written). Files written before
// a failing record stay. A name that is empty, holds "/", "\" or a NUL byte, or
// is exactly ".." is refused; an existing symbolic link is never written
// through. Bodies are copied by the source (inside the kernel for a file).
// Errors read "Wire format error: ..." for bytes that are not a sound stream and
// "IO error: ..." for what the system refused.
Result<void> unpack_files(ByteSource& stream, const std::filesystem::path& dir);

// `unpack_files` of a received stream whose bytes are in `packed`, then checks
// the digest of every file the announcement lists: against `file_digests`
// (computed as the stream arrived) when it holds the name, else read from disk
// in 64 KiB blocks. A listed name that could not have come from the stream is
// refused before anything is read.
Result<void> materialize_stream(const FileStreamAnnounce& announce, const std::filesystem::path& packed,
                                const std::map<std::string, std::string>& file_digests,
                                const std::filesystem::path& dir);

// The digest checks of `materialize_stream` alone, of files already in `dir`.
Result<void> check_stream_files(const FileStreamAnnounce& announce, const std::filesystem::path& dir,
                                const std::map<std::string, std::string>& file_digests);

// A stream's files written into a directory of their own while the stream's
// bytes arrive, as `unpack_files` would write them from the whole stream: in
// stream order, a later record of a name replacing the file of an earlier one,
// never through a link, each file's write-back started as its bytes come, so
// that little is left to flush once the last bytes are in. Memory does not grow
// with the stream: a name is kept only up to the longest `unpack_files` reads,
// and at most 64 written files wait for their flush (beyond, the oldest is
// flushed at once).
//
// Nothing here ends the stream. A stream that `unpack_files` would refuse (a
// name it refuses, a record the stream does not complete) or a file that cannot
// be opened stops the writing, and `finish` then says to unpack the stream from
// its bytes, which gives the refusal in its own words; what the system refuses
// while writing is kept and returned by `finish`. The directory is removed when
// the unpacker is dropped, unless it was moved.
class StreamUnpacker {
 public:
  // Makes `dir` (a directory left there before is replaced). A failure is kept
  // for `finish`.
  explicit StreamUnpacker(std::filesystem::path dir);
  StreamUnpacker(StreamUnpacker&& other) noexcept;
  StreamUnpacker& operator=(StreamUnpacker&& other) noexcept;
  StreamUnpacker(const StreamUnpacker&) = delete;
  StreamUnpacker& operator=(const StreamUnpacker&) = delete;
  ~StreamUnpacker();

  const std::filesystem::path& dir() const { return dir_; }
  // The stream's next bytes, in pieces.
  void update(std::span<const std::span<const std::uint8_t>> pieces);
  // After the stream's last bytes: flushes every file to stable storage. True
  // when the directory holds the stream's files; false when the stream is to be
  // unpacked from its bytes instead; an "IO error: ..." for what the system
  // refused.
  Result<bool> finish();
  // Renames the directory to `destination` (on the same file system); from then
  // on it is no longer removed when dropped.
  Result<void> move_to(const std::filesystem::path& destination);

 private:
  friend class RecordReader;
  enum class State { Writing, Unpack, Failed };
  // What the reader says of the records (see RecordReader).
  bool name_length(std::uint32_t length);
  void name(std::span<const std::uint8_t> piece);
  bool body_length(std::uint64_t length);
  bool body(std::span<const std::uint8_t> piece, std::uint64_t left);
  bool body_end();
  void fail_with(std::string text);
  void open_body();
  void end_body();
  void write_body();
  void remove();

  std::filesystem::path dir_;
  bool owned_ = false;
  State state_ = State::Writing;
  std::string error_;  // when Failed
  RecordReader reader_;
  std::string name_;
  Fd file_;                          // the body being written
  std::uint64_t body_written_ = 0;   // of the body being written
  std::uint64_t written_back_ = 0;   // of it, whose write-back was started
  std::vector<iovec> pending_;       // body bytes not yet written
  std::deque<std::filesystem::path> unflushed_;
};

// A StreamUnpacker fed either on the caller's thread (`in_background` false: each
// `update` writes before it returns) or by a writer thread of its own, so that
// the caller goes on receiving while the files are written. In the background
// the bytes are copied into a hand-off of at most kMaxQueuedBytes; when the
// writer falls that far behind, `update` waits for it (memory never grows with
// the stream). Given the stream's spool file, the writer also appends the bytes
// to it, before it writes them into the files. What the unpacker says is
// unchanged: `finish` first waits until everything handed over is written.
// Dropping the writer stops its thread (bytes not yet written are discarded)
// before the directory (and the spool, if it still has it) is removed, so that
// nothing is written into either afterwards.
class StreamFilesWriter {
 public:
  static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
  static constexpr std::size_t kMaxQueuedBytes = std::size_t{16} << 20;

  StreamFilesWriter(std::filesystem::path dir, bool in_background, std::optional<SpoolFile> spool = std::nullopt);
  StreamFilesWriter(StreamFilesWriter&& other) noexcept;
  StreamFilesWriter& operator=(StreamFilesWriter&& other) noexcept;
  StreamFilesWriter(const StreamFilesWriter&) = delete;
  StreamFilesWriter& operator=(const StreamFilesWriter&) = delete;
  ~StreamFilesWriter();

  const std::filesystem::path& dir() const;
  bool in_background() const;
  // The stream's next bytes (see StreamUnpacker::update); once `finish` or
  // `take_spool` was called, none may follow.
  void update(std::span<const std::span<const std::uint8_t>> pieces);
  // The system's error of an append to the spool so far (later bytes are then
  // neither appended nor written into the files).
  Result<void> spool_failure() const;
  // Waits until everything handed over is appended and written, stops the
  // writer, and gives the spool back (or the error of an append to it).
  Result<SpoolFile> take_spool();
  // Waits for the writer to write all it was handed and stops it, then
  // StreamUnpacker::finish.
  Result<bool> finish();
  Result<void> move_to(const std::filesystem::path& destination);

 private:
  struct Shared;
  void hand_over_rest();
  void stop(bool discard);
  std::unique_ptr<Shared> shared_;
};

}  // namespace kio::install
