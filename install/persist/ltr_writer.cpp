#include "install/persist/ltr_writer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

Result<FileStamp> cut_back(const fs::path& segment, std::uint64_t length) {
  FileSystem& files = file_system();
  auto fd = files.open(segment, O_WRONLY, 0);
  if (!fd) return std::unexpected(fd.error());
  if (auto cut = files.truncate(fd->get(), length); !cut) return std::unexpected(cut.error());
  if (auto synced = files.sync(fd->get()); !synced) return std::unexpected(synced.error());
  auto st = files.status(fd->get());
  if (!st) return std::unexpected(st.error());
  if (auto closed = fd->close(); !closed) return std::unexpected(closed.error());
  return stamp_of(*st);
}

Result<AppendedLine> append_segment_line(const fs::path& segment, std::string_view line) {
  if (auto made = detail::create_private_parent(segment); !made) return std::unexpected(made.error());
  FileSystem& files = file_system();
  bool created = true;
  auto opened = files.open(segment, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0600);
  if (!opened && opened.error().is(std::errc::file_exists)) {
    created = false;
    opened = files.open(segment, O_RDWR | O_APPEND | O_CREAT, 0600);
  }
  if (!opened) return std::unexpected(opened.error());
  Fd fd = std::move(*opened);
  if (auto set = files.change_mode(fd.get(), 0600); !set) return std::unexpected(set.error());
  AppendedLine appended;
  std::string bytes;
  auto status_before = files.status(fd.get());
  if (!status_before) return std::unexpected(status_before.error());
  const struct stat before = *status_before;
  if (!created && before.st_size > 0) {
    std::uint8_t last = '\n';
    auto got = files.read_at(fd.get(), static_cast<std::uint64_t>(before.st_size - 1), std::span(&last, 1));
    if (!got) return std::unexpected(got.error());
    // Cut meanwhile: the read came short.
    if (*got != 1) return fail(last_os_error_text());
    if (last != '\n') {
      bytes.push_back('\n');
      appended.line_feed_added = true;
    }
  }
  bytes.append(line);
  // A failed append records nothing: the line may already stand in the file,
  // whole or in part (a write cut short by a full disk, a flush that failed), so
  // the file is cut back to its length before, or a new segment removed. Should
  // even that fail, what is left is a torn tail, which the next append or open
  // cuts off, or a whole line, which the next read of the log finds.
  const auto undo = [&](const Error& error) -> Result<AppendedLine> {
    if (created) {
      (void)files.unlink(segment);
    } else if (files.truncate(fd.get(), static_cast<std::uint64_t>(before.st_size))) {
      (void)files.sync(fd.get());
    }
    return std::unexpected(error);
  };
  if (auto written = write_all(fd.get(), bytes); !written) return undo(written.error());
  if (auto synced = files.sync(fd.get()); !synced) return undo(synced.error());
  auto after = files.status(fd.get());
  if (!after) return undo(after.error());
  appended.stamp = stamp_of(*after);
  appended.raced = static_cast<std::uint64_t>(after->st_size) !=
                   static_cast<std::uint64_t>(before.st_size) + bytes.size();
  if (created) {
    if (auto synced = files.sync_directory(parent_directory(segment)); !synced) return undo(synced.error());
  }
  if (auto closed = fd.close(); !closed) return undo(closed.error());
  return appended;
}

}  // namespace kio::install
