// The landing's status files in the install root, "blob-landed.txt" and
// "blob-land-error.txt": the connector replaces one of them whole after each
// stream it landed or could not land, and a sender that waits for its stream
// reads them back. Both sides use this one description of their content.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/file_io.h"
#include "install/stream_format.h"

namespace kio::install {

// The landed file: five lines, "feature_id=", "blob_id=", "sha256=", "bytes="
// (decimal) and "class=", each ended by a line feed.
std::string landed_status_text(const FileStreamAnnounce& stream);
// The error file: the message, already kept to one line, and a line feed.
std::string land_error_status_text(std::string_view one_line_message);

// Whether the landed file's content reports the landing of the stream whose
// digest is `sha256`: all five lines, with that digest.
bool reports_landing(std::string_view landed, std::string_view sha256);
// The error file's message, once the file holds a whole one.
std::optional<std::string> land_error_message(std::string_view content);

// What a status file held at one moment. A sender takes one before it sends,
// so that the connector's next report is told from the last one.
struct StatusSnapshot {
  std::optional<FileStamp> stamp;  // nothing when there was no file
  std::string content;

  static StatusSnapshot take(const std::filesystem::path& path);
  // Whether the file was written between `before` and this snapshot: it
  // appeared or went, its modification time moved or its content changed.
  bool rewritten_since(const StatusSnapshot& before) const;
};

}  // namespace kio::install
