// Files as the tests put them in a stream: read from a directory, and listed in
// an announcement.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "install/stream_format.h"

namespace kio::test {

// The regular files directly inside `dir`, sorted by name (byte order), read
// whole; throws when the directory or a file cannot be read.
std::vector<install::NamedFile> read_directory_files(const std::filesystem::path& dir);
// The announcement entries (name, size, digest) of the files.
std::vector<install::FileStreamEntry> file_entries(const std::vector<install::NamedFile>& files);
// A control message: 0xFB, then `json` as it stands (spaces and line feeds kept).
std::vector<std::uint8_t> control(const std::string& json);

}  // namespace kio::test
