#include "install/persist/ltr_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/persist/persist.h"

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

// The segment's bytes and the stamp of the file that they are: the status is
// read again until it shows exactly the bytes read, so that a write racing the
// read is never taken for part of what was verified.
struct SegmentBytes {
  std::string content;
  FileStamp stamp;
};
LtrResult<SegmentBytes> read_whole(const fs::path& segment) {
  auto fd = open_file(segment, O_RDONLY);
  if (!fd) return std::unexpected(LtrFault::at(fd.error(), segment));
  SegmentBytes bytes;
  std::string& content = bytes.content;
  for (;;) {
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return std::unexpected(LtrFault::at(last_os_error_text(), segment));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < content.size()) content.clear();  // cut meanwhile: read it again
    if (size == content.size()) {
      bytes.stamp = stamp_of(st);
      return bytes;
    }
    std::size_t filled = content.size();
    content.resize(static_cast<std::size_t>(size));
    while (filled < content.size()) {
      const ssize_t n = ::pread(fd->get(), content.data() + filled, content.size() - filled, static_cast<off_t>(filled));
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(LtrFault::at(last_os_error_text(), segment));
      }
      if (n == 0) break;  // cut meanwhile; the status tells
      filled += static_cast<std::size_t>(n);
    }
    content.resize(filled);
  }
}

// The 1-based number of the line holding the first byte that is not UTF-8.
std::uint64_t line_of_invalid_utf8(std::string_view text) {
  std::uint64_t line = 1;
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

LtrResult<SegmentEnd> read_segment(const fs::path& segment, bool last_segment, ChainTip& tip,
                                   const FrameVisitor& visit) {
  auto bytes = read_whole(segment);
  if (!bytes) return std::unexpected(bytes.error());
  const std::string_view text = bytes->content;
  if (!is_valid_utf8(text)) {
    return std::unexpected(LtrFault::at(std::string(INVALID_UTF8_TEXT), segment, line_of_invalid_utf8(text)));
  }

  SegmentEnd end;
  end.stamp = bytes->stamp;
  end.start_tip = tip;
  FrameLineReader lines;
  std::uint64_t line_number = 1;
  for (std::size_t pos = 0; pos < text.size(); ++line_number) {
    const std::size_t feed = text.find('\n', pos);
    const bool terminated = feed != std::string_view::npos;
    std::string_view line = text.substr(pos, (terminated ? feed : text.size()) - pos);
    if (terminated && line.ends_with('\r')) line.remove_suffix(1);
    end.line_start = pos;
    pos = terminated ? feed + 1 : text.size();
    if (line.empty()) continue;

    const auto frame = lines.read(line);
    if (!frame) {
      if (!terminated && last_segment) {
        end.torn = true;
        return end;
      }
      return std::unexpected(LtrFault::of(LtrDamage::corrupt_frame, segment, line_number));
    }
    if (!is_supported(*frame)) return std::unexpected(LtrFault::of(LtrDamage::unsupported_frame, segment, line_number));
    if (frame->sequence != tip.count + 1 || frame->previous_digest != tip.digest) {
      return std::unexpected(LtrFault::of(LtrDamage::chain_broken, segment, line_number));
    }
    if (frame->sequence == std::numeric_limits<std::uint64_t>::max()) {
      return std::unexpected(LtrFault::of(LtrDamage::sequence_overflow, segment, line_number));
    }
    tip = ChainTip{frame->sequence, lines.digest()};
    if (visit) visit(*frame, FramePlace{segment, line_number});
    end.unterminated_frame = !terminated;
  }
  return end;
}

LtrResult<LogRead> read_log(const fs::path& persist_root, const FrameVisitor& visit) {
  LogRead log;
  if (auto collected = collect_segment_files(persist_root / "ltr", log.segments); !collected) {
    return std::unexpected(LtrFault::at(collected.error()));
  }
  sort_segments(log.segments);
  for (std::size_t s = 0; s < log.segments.size(); ++s) {
    auto end = read_segment(log.segments[s].path, s + 1 == log.segments.size(), log.tip, visit);
    if (!end) return std::unexpected(end.error());
    log.segments[s].stamp = end->stamp;
    log.last = std::move(*end);
  }
  return log;
}

Result<std::vector<LtrFrame>> Persist::read_frames() {
  if (auto migrated = migrate_names(); !migrated) return std::unexpected(migrated.error());
  std::vector<LtrFrame> frames;
  auto log = read_log(root_, [&](const LtrFrameView& frame, const FramePlace&) { frames.push_back(frame_of(frame)); });
  if (!log) return fail(log.error().message);
  return frames;
}

}  // namespace kio::install
