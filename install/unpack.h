// Turns received stream bytes back into the files they pack.
#pragma once

#include <filesystem>
#include <map>
#include <string>

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

}  // namespace kio::install
