#include "install/persist/ltr_reader.h"

#include <sys/stat.h>

#include <limits>
#include <optional>

#include "common/file_io.h"
#include "common/utf8.h"
#include "install/crypto.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

std::string_view message_of(LtrDamage damage) {
  switch (damage) {
    case LtrDamage::corrupt_frame:
      return "corrupt LTR frame";
    case LtrDamage::unsupported_frame:
      return "unsupported LTR frame";
    case LtrDamage::chain_broken:
      return "LTR chain is broken";
    case LtrDamage::sequence_overflow:
      return "LTR sequence overflow";
  }
  return "corrupt LTR frame";
}

// The segment's bytes from `from` on, and the stamp of the file that they are
// the end of: the status is read again until it shows exactly the bytes read,
// so that a write racing the read is never taken for part of what was verified.
struct SegmentBytes {
  std::string content;
  FileStamp stamp;
};
Result<SegmentBytes> read_from(int fd, std::uint64_t from) {
  SegmentBytes bytes;
  std::string& content = bytes.content;
  FileSystem& files = file_system();
  for (;;) {
    auto status = files.status(fd);
    if (!status) return std::unexpected(status.error());
    const struct stat& st = *status;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < from + content.size()) content.clear();  // cut meanwhile: read it again
    if (size <= from + content.size()) {
      bytes.stamp = stamp_of(st);
      return bytes;
    }
    std::size_t filled = content.size();
    content.resize(static_cast<std::size_t>(size - from));
    while (filled < content.size()) {
      auto n = files.read_at(
          fd, from + filled, std::span(reinterpret_cast<std::uint8_t*>(content.data()) + filled, content.size() - filled));
      if (!n) return std::unexpected(n.error());
      if (*n == 0) break;  // cut meanwhile; the status tells
      filled += *n;
    }
    content.resize(filled);
  }
}

// The 1-based number (counted from `first_line`) of the line holding the first
// byte that is not UTF-8.
std::uint64_t line_of_invalid_utf8(std::string_view text, std::uint64_t first_line) {
  std::uint64_t line = first_line;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t feed = text.find('\n', pos);
    const std::size_t end = feed == std::string_view::npos ? text.size() : feed;
    if (!is_valid_utf8(text.substr(pos, end - pos))) return line;
    pos = end + 1;
    ++line;
  }
  return line;
}

}  // namespace

LtrFault LtrFault::of(LtrDamage damage, const fs::path& segment, std::uint64_t line) {
  return LtrFault{std::string(message_of(damage)), segment, line};
}

LtrFault LtrFault::at(std::string message, const fs::path& segment, std::uint64_t line) {
  return LtrFault{std::move(message), segment, line};
}

std::string LtrFault::located() const {
  if (segment.empty()) return message;
  std::string text = segment.string();
  if (line != 0) text += ":" + std::to_string(line);
  return text + ": " + message;
}

std::optional<SegmentEnd> SegmentReader::read(const SegmentEnd& from, bool last_segment, ChainTip& tip,
                                               const FrameVisitor& visit) {
  const fs::path& segment = segment_;
  const auto stop = [&](LtrFault fault) -> std::optional<SegmentEnd> {
    reporter_.corruption(fault);
    return std::nullopt;
  };
  const std::uint64_t start = from.resume_offset;
  auto bytes = read_from(fd_, start);
  if (!bytes) return stop(LtrFault::at(bytes.error(), segment));
  const std::string_view text = bytes->content;
  if (!is_valid_utf8(text)) {
    return stop(LtrFault::at(std::string(INVALID_UTF8_TEXT), segment, line_of_invalid_utf8(text, from.resume_line)));
  }

  SegmentEnd end = from;
  end.stamp = bytes->stamp;
  end.resume_tip = tip;
  end.torn = end.unterminated_frame = false;
  std::optional<std::size_t> boundary;  // in `text`, when a non-empty line ends in it
  FrameLineReader lines;
  std::uint64_t line_number = from.resume_line;
  for (std::size_t pos = 0; pos < text.size(); ++line_number) {
    const std::size_t feed = text.find('\n', pos);
    const bool terminated = feed != std::string_view::npos;
    std::string_view line = text.substr(pos, (terminated ? feed : text.size()) - pos);
    if (terminated && line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t line_start = pos;
    pos = terminated ? feed + 1 : text.size();

    if (!line.empty()) {
      const auto frame = lines.read(line);
      if (!frame) {
        if (!terminated && last_segment) {
          end.torn = true;
          reporter_.torn_tail(segment, line_number);
          break;
        }
        return stop(LtrFault::of(LtrDamage::corrupt_frame, segment, line_number));
      }
      if (!is_supported(*frame)) return stop(LtrFault::of(LtrDamage::unsupported_frame, segment, line_number));
      if (frame->sequence != tip.count + 1 || frame->previous_digest != tip.digest) {
        return stop(LtrFault::of(LtrDamage::chain_broken, segment, line_number));
      }
      if (frame->sequence == std::numeric_limits<std::uint64_t>::max()) {
        return stop(LtrFault::of(LtrDamage::sequence_overflow, segment, line_number));
      }
      tip = ChainTip{frame->sequence, lines.digest()};
      if (visit) visit(*frame, FramePlace{segment, line_number});
      if (!terminated) {
        // Read again from its start next time, to see what follows it.
        end.unterminated_frame = true;
        break;
      }
      boundary = line_start;
    }
    end.resume_offset = start + pos;
    end.resume_line = line_number + 1;
    end.resume_tip = tip;
  }
  if (boundary) {
    end.boundary_offset = start + *boundary;
    end.boundary_digest = sha256_hex(text.substr(*boundary, end.resume_offset - end.boundary_offset));
  }
  return end;
}

bool SegmentReader::boundary_unchanged(const SegmentEnd& end) {
  if (end.boundary_digest.empty()) return true;
  std::string bytes(static_cast<std::size_t>(end.resume_offset - end.boundary_offset), '\0');
  FileSystem& files = file_system();
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    auto n = files.read_at(fd_, end.boundary_offset + filled,
                           std::span(reinterpret_cast<std::uint8_t*>(bytes.data()) + filled, bytes.size() - filled));
    if (!n || *n == 0) return false;
    filled += *n;
  }
  return sha256_hex(bytes) == end.boundary_digest;
}

}  // namespace kio::install
