#include "install/persist/ltr_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

Result<FileStamp> cut_back(const fs::path& segment, std::uint64_t length) {
  auto fd = open_file(segment, O_WRONLY);
  if (!fd) return std::unexpected(fd.error());
  if (::ftruncate(fd->get(), static_cast<off_t>(length)) != 0) return fail(last_os_error_text());
  if (auto synced = flush_to_device(fd->get()); !synced) return std::unexpected(synced.error());
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return fail(last_os_error_text());
  if (auto closed = fd->close(); !closed) return std::unexpected(closed.error());
  return stamp_of(st);
}

Result<AppendedLine> append_segment_line(const fs::path& segment, std::string_view line) {
  if (auto made = detail::create_private_parent(segment); !made) return std::unexpected(made.error());
  bool created = true;
  Fd fd(::open(segment.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() && errno == EEXIST) {
    created = false;
    fd = Fd(::open(segment.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  }
  if (!fd.valid()) return fail(last_os_error_text());
  if (::fchmod(fd.get(), 0600) != 0) return fail(last_os_error_text());
  AppendedLine appended;
  std::string bytes;
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return fail(last_os_error_text());
  if (!created && before.st_size > 0) {
    char last = '\n';
    if (::pread(fd.get(), &last, 1, before.st_size - 1) != 1) return fail(last_os_error_text());
    if (last != '\n') {
      bytes.push_back('\n');
      appended.line_feed_added = true;
    }
  }
  bytes.append(line);
  if (auto written = write_all(fd.get(), bytes); !written) return std::unexpected(written.error());
  if (auto synced = flush_to_device(fd.get()); !synced) return std::unexpected(synced.error());
  struct stat after {};
  if (::fstat(fd.get(), &after) != 0) return fail(last_os_error_text());
  appended.stamp = stamp_of(after);
  appended.raced = static_cast<std::uint64_t>(after.st_size) !=
                   static_cast<std::uint64_t>(before.st_size) + bytes.size();
  if (auto closed = fd.close(); !closed) return std::unexpected(closed.error());
  if (created) {
    if (auto synced = flush_directory(parent_directory(segment)); !synced) return std::unexpected(synced.error());
  }
  return appended;
}

}  // namespace kio::install
