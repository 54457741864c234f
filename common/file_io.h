// Whole-file writes on plain file descriptors, shared by the store's neighbours
// (the connector's files, the unpacked index). Each returns 0 or the errno.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>

namespace kio {

// Writes every byte, retrying short writes and interrupted calls.
int write_all(int fd, std::span<const std::uint8_t> bytes);
// Flushes data and metadata to the device (the full flush where the platform has one).
int flush_to_device(int fd);
// Creates or truncates `path` (`mode` before the umask), writes `bytes` and, with
// `flush`, flushes them to the device before closing.
int write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, bool flush,
               int extra_open_flags = 0, mode_t mode = 0666);

// Creates `path` and its missing ancestors (mode 0777 before the umask); an
// existing directory (links followed) is success. On failure returns the errno
// of the mkdir that failed, e.g. EEXIST when a file stands at `path`.
int make_directories(const std::filesystem::path& path);

}  // namespace kio
