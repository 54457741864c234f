// The one file layer: whole-file reads and writes, the atomic replace,
// directories and flushing, each made of the operations of file_system().
// Every failure is the operating system's error text ("No such file or
// directory (os error 2)").
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_system.h"
#include "common/result.h"

namespace kio {

// open(2) with O_CLOEXEC added.
Result<Fd> open_file(const std::filesystem::path& path, int flags, mode_t mode = 0);

// Writes every byte, retrying short and interrupted writes.
Result<void> write_all(int fd, std::span<const std::uint8_t> bytes);
Result<void> write_all(int fd, std::string_view bytes);
// Writes every byte at `offset`, the file's own offset untouched.
Result<void> write_all_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes);
// Flushes the file's data and metadata to the device (the full flush where the
// platform has one).
Result<void> flush_to_device(int fd);
// Flushes a directory's entries to the device (the empty path is "."). File
// systems that cannot flush a directory keep their entries durable anyway, and
// a directory that cannot even be opened for reading is passed over.
Result<void> flush_directory(const std::filesystem::path& dir);
// The directory that holds `path`'s entry ("." for a bare name).
std::filesystem::path parent_directory(const std::filesystem::path& path);

// The whole file; `content` is reused when given.
Result<std::string> read_file(const std::filesystem::path& path);
Result<void> read_file(const std::filesystem::path& path, std::string& content);

struct WriteOptions {
  mode_t mode = 0666;          // for a file that is created (before the umask)
  bool exact_mode = false;     // then set exactly `mode`, also on an existing file
  bool flush = false;          // the bytes reach the device before the call returns
  bool flush_new_entry = false;  // a file that was created has its directory entry flushed too
  bool follow_links = true;    // false: never write through a link standing at the path
  bool exclusive = false;      // refuse ("File exists") when anything stands at the path
};

// Creates or truncates the file and writes the bytes.
Result<void> write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        const WriteOptions& options = {});
inline Result<void> write_file(const std::filesystem::path& path, std::string_view bytes,
                               const WriteOptions& options = {}) {
  return write_file(path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                        bytes.size()),
                    options);
}

// Replaces the file whole: a temporary file in the same directory, created with
// `mode` (and set exactly to it with `exact_mode`), written, flushed to the
// device, renamed over the path, and the directory flushed. A reader, or a
// crash, sees the old file or the new one, never a torn or empty one. A link
// standing at the path is replaced, never written through.
Result<void> replace_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes, mode_t mode,
                          bool exact_mode = false);
inline Result<void> replace_file(const std::filesystem::path& path, std::string_view bytes, mode_t mode,
                                 bool exact_mode = false) {
  return replace_file(path,
                      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                      mode, exact_mode);
}

// Removes the temporary files that replace_file left in `dir` for the files
// named `names` when it was killed between the write and the rename: regular
// files named ".<name>.tmp-" and 16 lowercase hex digits, and nothing else.
// Only for a directory whose writer is the caller alone (it holds the lock that
// says so): another writer's temporary file may still be on its way. Best
// effort; returns how many were removed.
std::size_t remove_replace_leftovers(const std::filesystem::path& dir, std::span<const std::string> names);

// Creates the directory and its missing ancestors (0777 before the umask); an
// existing directory (links followed) is success. The error is that of the
// mkdir that failed ("File exists" when a file stands in the way). With
// `flush_new_entries`, each directory created has its entry flushed through its parent.
Result<void> make_directories(const std::filesystem::path& dir, bool flush_new_entries = false);

// Sets the permission bits exactly (chmod(2), links followed).
Result<void> change_mode(const std::filesystem::path& path, mode_t mode);

// Entry names in listing order, without "." and "..".
Result<std::vector<std::string>> list_directory(const std::filesystem::path& dir);

// The regular files among a directory's entries, in listing order. A link is
// not followed: a link to a file is left out, as is an entry that vanishes
// before its status is read.
struct FileEntry {
  std::string name;
  std::uint64_t size;
};
Result<std::vector<FileEntry>> list_regular_files(const std::filesystem::path& dir);

// Copies everything from `in` to `out` from their current offsets (in the
// kernel where the file systems allow).
Result<void> copy_contents(int in, int out);

// Copies `length` bytes of `in`, starting at `offset`, to `out` at its current
// offset (in the kernel where the file systems allow). `in`'s own offset is not
// used. A file shorter than offset + length fails with "unexpected end of file".
Result<void> copy_range(int in, std::uint64_t offset, std::uint64_t length, int out);
// Reads exactly `out.size()` bytes at `offset`; a shorter file fails with
// "unexpected end of file".
Result<void> read_exact_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out);

// What a file's status says about its content: a file whose stamp is unchanged
// has not been written since (a write moves the modification and change times,
// a replacement the inode).
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  std::int64_t changed_ns = 0;
  bool operator==(const FileStamp&) const = default;
  bool same_file(const FileStamp& o) const { return device == o.device && inode == o.inode; }
};
FileStamp stamp_of(const struct stat& st);

// stat(2) with links followed; nothing when the path cannot be examined.
std::optional<struct stat> stat_path(const std::filesystem::path& path);
// A regular file / a directory (links followed); a path that cannot be examined is neither.
bool is_regular_path(const std::filesystem::path& path);
bool is_directory_path(const std::filesystem::path& path);

}  // namespace kio
