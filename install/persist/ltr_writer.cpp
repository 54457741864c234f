// Appending to the LTR: one sealed frame, one line, at the end of the chain,
// from the tip that the handle keeps (ltr_writer.h).
#include "install/persist/ltr_writer.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/crypto.h"
#include "install/persist/blobs.h"
#include "install/persist/ltr_format.h"
#include "install/persist/payloads.h"
#include "install/persist/persist.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

// Cuts a torn final line off, so that the segment ends with its last complete
// line; gives the segment's status afterwards.
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

struct Appended {
  FileStamp stamp;               // of the segment after the write
  bool line_feed_added = false;  // its last line lacked one
  bool raced = false;            // the segment grew by more than this line meanwhile
};

// Appends one line to a segment, creating it (0600) if needed; a segment whose
// last line lacks its line feed gets one first.
Result<Appended> append_segment_line(const fs::path& segment, std::string_view line) {
  if (auto made = detail::create_private_parent(segment); !made) return std::unexpected(made.error());
  bool created = true;
  Fd fd(::open(segment.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() && errno == EEXIST) {
    created = false;
    fd = Fd(::open(segment.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  }
  if (!fd.valid()) return fail(last_os_error_text());
  if (::fchmod(fd.get(), 0600) != 0) return fail(last_os_error_text());
  Appended appended;
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

// Whether `file` lies anywhere below `dir` (both as the walk spells them).
bool lies_below(const fs::path& file, const fs::path& dir) {
  auto f = file.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++f) {
    if (f == file.end() || *f != *d) return false;
  }
  return f != file.end();
}

// How the log on disk differs from what the handle verified, by the status of
// its segments: `now` and `known` are both in segment order.
detail::LogChange compare(const std::vector<SegmentFile>& known, const std::vector<SegmentFile>& now) {
  using detail::LogChange;
  if (now.size() < known.size()) return LogChange::other;
  LogChange change = now.size() > known.size() ? LogChange::growth : LogChange::none;
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (now[i].path != known[i].path) return LogChange::other;
    if (now[i].stamp == known[i].stamp) continue;
    // Only the last segment may have changed, and only by growing.
    const bool grew = i + 1 == known.size() && now[i].stamp.same_file(known[i].stamp) &&
                      now[i].stamp.size > known[i].stamp.size;
    if (!grew) return LogChange::other;
    change = LogChange::growth;
  }
  return change;
}

}  // namespace

std::optional<std::string> Persist::index_blob(std::map<std::string, BlobRecord>& blobs,
                                              const LtrFrameView& frame) const {
  auto event = open_payload(frame);
  if (!event) return event.error();
  if (auto* record = std::get_if<BlobRecord>(&*event); record && is_listed_blob(*record)) {
    std::string id = record->blob_id;
    blobs.insert_or_assign(std::move(id), std::move(*record));
  }
  return std::nullopt;
}

Result<void> Persist::walk_ltr(bool want_blobs) {
  const bool index = want_blobs || ltr_.blobs.has_value();
  std::map<std::string, BlobRecord> blobs;
  std::optional<std::string> unopened;
  ltr_ = detail::LtrWriterState{};
  if (auto migrated = migrate_names(); !migrated) return migrated;
  auto log = read_log(root_, [&](const LtrFrameView& frame, const FramePlace&) {
    if (index && !unopened) unopened = index_blob(blobs, frame);
  });
  if (!log) return fail(log.error().message);
  ltr_.known = true;
  ltr_.segments = std::move(log->segments);
  ltr_.directories = std::move(log->directories);
  ltr_.last = std::move(log->last);
  ltr_.tip = std::move(log->tip);
  if (index && !unopened) ltr_.blobs = std::move(blobs);
  if (want_blobs && unopened) return fail(*unopened);
  return {};
}

Result<detail::SegmentsSeen> Persist::look_at_segments() {
  using detail::LogChange;
  const std::size_t known = ltr_.segments.size();
  detail::SegmentsSeen seen{LogChange::none, {}, false, known};
  // The tree is listed again only when one of its directories changed: an
  // entry added, removed or renamed moves a directory's modification time (its
  // change time also moves with its mode, which every append sets).
  bool relist = ltr_.relist || ltr_.directories.empty();
  for (std::size_t i = 0; i < ltr_.directories.size() && !relist; ++i) {
    const auto st = stat_path(ltr_.directories[i].path);
    const FileStamp& listed = ltr_.directories[i].stamp;
    relist = !st || !S_ISDIR(st->st_mode) || !stamp_of(*st).same_file(listed) ||
             stamp_of(*st).modified_ns != listed.modified_ns;
  }
  if (!relist) {
    // The same segments: only the last one's status can show a change.
    if (known == 0) return seen;
    const auto st = stat_path(ltr_.segments.back().path);
    if (!st || !S_ISREG(st->st_mode)) return detail::SegmentsSeen{LogChange::other, {}, false, known};
    const FileStamp stamp = stamp_of(*st);
    const FileStamp& verified = ltr_.segments.back().stamp;
    if (stamp == verified) return seen;
    if (!stamp.same_file(verified) || stamp.size <= verified.size) {
      return detail::SegmentsSeen{LogChange::other, {}, false, known};
    }
    seen = detail::SegmentsSeen{LogChange::growth, std::move(ltr_.segments), true, known};
    seen.now.back().stamp = stamp;
    return seen;
  }

  std::vector<SegmentFile> directories;
  if (auto collected = collect_segment_files(root_ / "ltr", seen.now, &directories); !collected) {
    return std::unexpected(collected.error());
  }
  // A file of an older name that appeared below the segment directory is
  // renamed before anything is read, as at open: read under its older name it
  // would sort by path, and renamed later it could move behind newer frames.
  if (!read_only_) {
    const fs::path current = root_ / "ltr" / "current";
    for (const auto& file : seen.now) {
      if (lies_below(file.path, current) && older_segment_key(file.path)) {
        return detail::SegmentsSeen{LogChange::other, {}, false, known};
      }
    }
  }
  sort_segments(seen.now);
  seen.change = compare(ltr_.segments, seen.now);
  if (seen.change == LogChange::other) return seen;
  seen.last_grew = known > 0 && seen.now[known - 1].stamp != ltr_.segments[known - 1].stamp;
  ltr_.directories = std::move(directories);
  ltr_.relist = false;
  return seen;
}

Result<void> Persist::read_added(detail::SegmentsSeen seen, bool want_blobs) {
  // Only what was added is read: the last segment from where its verified
  // lines end, once the bytes before that point are seen to be as they were,
  // then every new segment.
  std::vector<SegmentFile>& now = seen.now;
  const std::size_t known = seen.known;
  if (seen.last_grew && !boundary_unchanged(now[known - 1].path, ltr_.last)) return walk_ltr(want_blobs);
  const std::uint64_t verified = ltr_.tip.count;
  std::optional<std::string> unopened;
  const FrameVisitor index = [&](const LtrFrameView& frame, const FramePlace&) {
    if (ltr_.blobs && !unopened && frame.sequence > verified) unopened = index_blob(*ltr_.blobs, frame);
  };
  // A torn line is read again too: once another segment follows, it is damage.
  const bool resume = seen.last_grew || (known > 0 && ltr_.last.torn);
  const std::size_t first = resume ? known - 1 : known;
  ChainTip tip = resume ? ltr_.last.resume_tip : ltr_.tip;
  SegmentEnd last = ltr_.last;
  for (std::size_t i = first; i < now.size(); ++i) {
    auto end = read_segment(now[i].path, resume && i == first ? ltr_.last : SegmentEnd{}, i + 1 == now.size(), tip,
                            index);
    if (!end) {
      ltr_ = detail::LtrWriterState{};
      return fail(end.error().message);
    }
    now[i].stamp = end->stamp;
    last = std::move(*end);
  }
  ltr_.segments = std::move(now);
  ltr_.last = std::move(last);
  ltr_.tip = std::move(tip);
  if (unopened) {
    ltr_.blobs.reset();
    if (want_blobs) return fail(*unopened);
  }
  return {};
}

Result<void> Persist::refresh_ltr(bool want_blobs) {
  if (!ltr_.known) return walk_ltr(want_blobs);
  auto seen = look_at_segments();
  if (!seen) {
    ltr_ = detail::LtrWriterState{};
    return std::unexpected(seen.error());
  }
  if (seen->change == detail::LogChange::other) return walk_ltr(want_blobs);
  if (seen->change == detail::LogChange::growth) {
    if (auto read = read_added(std::move(*seen), want_blobs); !read) return read;
  }
  if (want_blobs && !ltr_.blobs) return walk_ltr(true);
  return {};
}

Result<void> Persist::migrate_names() {
  if (read_only_) return {};
  return migrate_ltr_names(root_);
}

Result<std::uint64_t> Persist::append_ltr_payload(const LtrPayload& payload) {
  if (auto ok = writable(); !ok) return std::unexpected(ok.error());
  if (auto fresh = refresh_ltr(false); !fresh) return std::unexpected(fresh.error());
  const std::uint64_t sequence = ltr_.tip.count + 1;

  auto plaintext = serialize_ltr_payload(payload);
  if (!plaintext) return std::unexpected(plaintext.error());
  const auto aad = ltr_aad(founder_id_, LTR_STREAM_LABEL, sequence, ltr_.tip.digest);
  auto sealed = encrypt(wrap_key_, aad, *plaintext);
  sodium_memzero(plaintext->data(), plaintext->size());
  if (!sealed) return std::unexpected(sealed.error());

  std::string line;
  write_frame_line(line, LtrFrameView{LTR_FRAME_SCHEMA, LTR_FRAME_VERSION, sequence, ltr_.tip.digest,
                                      sealed->nonce_b64, sealed->ciphertext_b64});
  ChainTip tip{sequence, sha256_hex(line)};
  line.push_back('\n');

  // From here on a failure leaves the log in a state the handle has not seen.
  const auto forget = [&](std::string error) -> Result<std::uint64_t> {
    ltr_ = detail::LtrWriterState{};
    return fail(std::move(error));
  };
  if (ltr_.last.torn && !ltr_.segments.empty()) {
    auto cut = cut_back(ltr_.segments.back().path, ltr_.last.resume_offset);
    if (!cut) return forget(cut.error());
    ltr_.segments.back().stamp = *cut;
    ltr_.last.stamp = *cut;
    ltr_.last.torn = false;
  }
  const fs::path segment = choose_segment(ltr_.segments, root_ / "ltr" / "current", today_ ? today_() : local_today());
  auto appended = append_segment_line(segment, line);
  if (!appended) return forget(appended.error());

  SegmentEnd& last = ltr_.last;
  if (!ltr_.segments.empty() && ltr_.segments.back().path == segment) {
    if (appended->line_feed_added != last.unterminated_frame) appended->raced = true;
    ltr_.segments.back().stamp = appended->stamp;
    last.resume_line += last.unterminated_frame ? 2 : 1;
  } else {
    ltr_.segments.push_back(SegmentFile{segment, appended->stamp});
    ltr_.relist = true;  // its directory changed
    last.resume_line = 2;
  }
  last.stamp = appended->stamp;
  last.resume_offset = appended->stamp.size;
  last.resume_tip = tip;
  last.boundary_offset = appended->stamp.size - std::min<std::uint64_t>(appended->stamp.size, line.size());
  last.boundary_digest = sha256_hex(line);
  last.unterminated_frame = false;
  ltr_.tip = std::move(tip);
  if (ltr_.blobs) {
    if (const auto* record = std::get_if<BlobRecord>(&payload); record && is_listed_blob(*record)) {
      ltr_.blobs->insert_or_assign(record->blob_id, *record);
    }
  }
  // Another writer wrote while this one did: the next append walks the chain.
  if (appended->raced) ltr_.known = false;
  return sequence;
}

}  // namespace kio::install
