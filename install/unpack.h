// Turns received stream bytes back into the files they pack.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/file_system.h"
#include "install/byte_source.h"
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
  enum class Field { NameLength, Name, BodyLength, Body };
  enum class State { Writing, Unpack, Failed };
  void fail_with(std::string text);
  void open_body();
  void end_body();
  void write_body();
  void remove();

  std::filesystem::path dir_;
  bool owned_ = false;
  State state_ = State::Writing;
  std::string error_;  // when Failed
  Field field_ = Field::NameLength;
  std::uint8_t number_[RECORD_BODY_LENGTH_SIZE] = {};
  std::size_t number_filled_ = 0;
  std::uint64_t left_ = 0;  // of the name or body being read
  std::string name_;
  Fd file_;                          // the body being written
  std::uint64_t body_written_ = 0;   // of the body being written
  std::uint64_t written_back_ = 0;   // of it, whose write-back was started
  std::vector<iovec> pending_;       // body bytes not yet written
  std::deque<std::filesystem::path> unflushed_;
};

}  // namespace kio::install
