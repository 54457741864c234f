#include "install/persist/ltr_log.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "common/file_io.h"
#include "install/persist/ltr_writer.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

// Reads one segment file (ltr_reader.h), its faults as the result.
LtrResult<SegmentEnd> read_segment_file(const fs::path& segment, const SegmentEnd& from, bool last_segment,
                                        ChainTip& tip, const FrameVisitor& visit) {
  auto fd = open_file(segment, O_RDONLY);
  if (!fd) return std::unexpected(LtrFault::at(fd.error(), segment));
  FirstFault faults;
  auto end = SegmentReader(segment, fd->get(), faults).read(from, last_segment, tip, visit);
  if (!end) return std::unexpected(faults.take());
  return std::move(*end);
}

// Whether the bytes that `end` names are still in the segment as they were;
// not when it cannot be opened.
bool boundary_unchanged(const fs::path& segment, const SegmentEnd& end) {
  if (end.boundary_digest.empty()) return true;
  auto fd = open_file(segment, O_RDONLY);
  if (!fd) return false;
  FirstFault faults;
  return SegmentReader(segment, fd->get(), faults).boundary_unchanged(end);
}

// Whether `file` lies anywhere below `dir` (both as the walk spells them).
bool lies_below(const fs::path& file, const fs::path& dir) {
  auto f = file.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++f) {
    if (f == file.end() || *f != *d) return false;
  }
  return f != file.end();
}

enum class LogChange {
  none,
  growth,  // the last segment grew, or segments were added after it
  other,   // anything else: the whole chain is walked again
};

// How the log on disk differs from what was verified, by the status of its
// segments: `now` and `known` are both in segment order.
LogChange compare(const std::vector<SegmentFile>& known, const std::vector<SegmentFile>& now) {
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

struct LtrLog::Seen {
  LogChange change = LogChange::none;
  bool last_grew = false;          // the last verified segment grew
  std::vector<SegmentFile> added;  // segments that sort after the last verified one, in segment order
  // The tree's directories, when it was listed again.
  std::optional<std::vector<SegmentFile>> directories;
};

LtrResult<LogRead> read_log(const fs::path& persist_root, const FrameVisitor& visit) {
  LogRead log;
  if (auto collected = collect_segment_files(persist_root / "ltr", log.segments, &log.directories); !collected) {
    return std::unexpected(LtrFault::at(collected.error()));
  }
  sort_segments(log.segments);
  for (std::size_t s = 0; s < log.segments.size(); ++s) {
    auto end = read_segment_file(log.segments[s].path, SegmentEnd{}, s + 1 == log.segments.size(), log.tip, visit);
    if (!end) return std::unexpected(end.error());
    log.segments[s].stamp = end->stamp;
    log.last = std::move(*end);
  }
  return log;
}

Result<void> LtrLog::migrate_names() const {
  if (read_only_) return {};
  return migrate_ltr_names(root_);
}

Result<fs::path> LtrLog::today_segment_path() const {
  if (auto migrated = migrate_names(); !migrated) return std::unexpected(migrated.error());
  return install::today_segment_path(root_, today());
}

LtrResult<LogRead> LtrLog::read(const FrameVisitor& visit) const {
  if (auto migrated = migrate_names(); !migrated) return std::unexpected(LtrFault::at(migrated.error()));
  return read_log(root_, visit);
}

void LtrLog::forget(LogFollower* follower) {
  verified_.reset();
  if (follower) follower->forget();
}

Result<void> LtrLog::walk(LogFollower* follower) {
  verified_.reset();
  if (follower) follower->restart();
  if (auto migrated = migrate_names(); !migrated) return migrated;
  auto log = read_log(root_, [&](const LtrFrameView& frame, const FramePlace&) {
    if (follower) follower->frame(frame);
  });
  if (!log) return fail(log.error().message);
  verified_ = Verified{std::move(log->segments), std::move(log->directories), false, std::move(log->last),
                       std::move(log->tip)};
  return follower ? follower->caught_up() : Result<void>{};
}

Result<LtrLog::Seen> LtrLog::look() const {
  const Verified& v = *verified_;
  const std::size_t known = v.segments.size();
  const Seen other{LogChange::other, false, {}, std::nullopt};
  // The tree is listed again only when one of its directories changed: an
  // entry added, removed or renamed moves a directory's modification time (its
  // change time also moves with its mode, which every append sets).
  bool relist = v.relist || v.directories.empty();
  for (std::size_t i = 0; i < v.directories.size() && !relist; ++i) {
    const auto st = stat_path(v.directories[i].path);
    const FileStamp& listed = v.directories[i].stamp;
    relist = !st || !S_ISDIR(st->st_mode) || !stamp_of(*st).same_file(listed) ||
             stamp_of(*st).modified_ns != listed.modified_ns;
  }
  if (!relist) {
    // The same segments: only the last one's status can show a change.
    if (known == 0) return Seen{};
    const auto st = stat_path(v.segments.back().path);
    if (!st || !S_ISREG(st->st_mode)) return other;
    const FileStamp stamp = stamp_of(*st);
    const FileStamp& verified = v.segments.back().stamp;
    if (stamp == verified) return Seen{};
    if (!stamp.same_file(verified) || stamp.size <= verified.size) return other;
    return Seen{LogChange::growth, true, {}, std::nullopt};
  }

  std::vector<SegmentFile> now, directories;
  if (auto collected = collect_segment_files(root_ / "ltr", now, &directories); !collected) {
    return std::unexpected(collected.error());
  }
  // A file of an older name that appeared below the segment directory is
  // renamed before anything is read, as at open: read under its older name it
  // would sort by path, and renamed later it could move behind newer frames.
  if (!read_only_) {
    const fs::path current = root_ / "ltr" / "current";
    for (const auto& file : now) {
      if (lies_below(file.path, current) && older_segment_key(file.path)) return other;
    }
  }
  sort_segments(now);
  Seen seen{compare(v.segments, now), false, {}, std::move(directories)};
  if (seen.change == LogChange::other) return other;
  seen.last_grew = known > 0 && now[known - 1].stamp != v.segments[known - 1].stamp;
  seen.added.assign(std::make_move_iterator(now.begin() + static_cast<std::ptrdiff_t>(known)),
                    std::make_move_iterator(now.end()));
  return seen;
}

Result<void> LtrLog::read_added(Seen seen, LogFollower* follower) {
  // Only what was added is read: the last segment from where its verified
  // lines end, once the bytes before that point are seen to be as they were,
  // then every new segment.
  Verified& v = *verified_;
  if (seen.last_grew && !boundary_unchanged(v.segments.back().path, v.last)) return walk(follower);
  if (follower) follower->resume(v.tip.count);
  const FrameVisitor visit = [&](const LtrFrameView& frame, const FramePlace&) {
    if (follower) follower->frame(frame);
  };
  // A torn line is read again too: once another segment follows, it is damage.
  const bool resume = seen.last_grew || (!v.segments.empty() && v.last.torn);
  ChainTip tip = resume ? v.last.resume_tip : v.tip;
  SegmentEnd last = v.last;
  if (resume) {
    auto end = read_segment_file(v.segments.back().path, v.last, seen.added.empty(), tip, visit);
    if (!end) {
      forget(follower);
      return fail(end.error().message);
    }
    v.segments.back().stamp = end->stamp;
    last = std::move(*end);
  }
  for (std::size_t i = 0; i < seen.added.size(); ++i) {
    auto end = read_segment_file(seen.added[i].path, SegmentEnd{}, i + 1 == seen.added.size(), tip, visit);
    if (!end) {
      forget(follower);
      return fail(end.error().message);
    }
    seen.added[i].stamp = end->stamp;
    last = std::move(*end);
  }
  v.segments.insert(v.segments.end(), std::make_move_iterator(seen.added.begin()),
                    std::make_move_iterator(seen.added.end()));
  v.last = std::move(last);
  v.tip = std::move(tip);
  return follower ? follower->caught_up() : Result<void>{};
}

Result<void> LtrLog::refresh(LogFollower* follower) {
  if (!verified_) return walk(follower);
  auto seen = look();
  if (!seen) {
    forget(follower);
    return std::unexpected(seen.error());
  }
  if (seen->change == LogChange::other) return walk(follower);
  if (seen->directories) {
    verified_->directories = std::move(*seen->directories);
    verified_->relist = false;
  }
  if (seen->change == LogChange::growth) {
    if (auto read = read_added(std::move(*seen), follower); !read) return read;
  }
  if (follower && follower->wants_walk()) return walk(follower);
  return {};
}

Result<std::uint64_t> LtrLog::append(const FrameSealer& seal, LogFollower* follower) {
  return append(1, seal, follower);
}

Result<std::uint64_t> LtrLog::append(std::size_t count, const FrameSealer& seal, LogFollower* follower) {
  if (count == 0) return fail("no frame to append");
  if (auto fresh = refresh(follower); !fresh) return std::unexpected(fresh.error());
  Verified& v = *verified_;

  // Every frame is sealed before anything is written: a frame that does not
  // seal fails the whole append with nothing written.
  std::vector<std::string> lines;
  std::vector<ChainTip> tips;
  lines.reserve(count);
  tips.reserve(count);
  ChainTip tip = v.tip;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t sequence = tip.count + 1;
    auto sealed = seal(sequence, tip.digest);
    if (!sealed) return std::unexpected(sealed.error());
    std::string line;
    write_frame_line(line, LtrFrameView{LTR_FRAME_SCHEMA, LTR_FRAME_VERSION, sequence, tip.digest,
                                        sealed->nonce_b64, sealed->ciphertext_b64});
    tip = ChainTip{sequence, sha256_hex(line)};
    line.push_back('\n');
    lines.push_back(std::move(line));
    tips.push_back(tip);
  }

  // From here on a failure leaves the log in a state the log has not seen.
  const auto forget_after = [&](std::string error) -> Result<std::uint64_t> {
    forget(follower);
    return fail(std::move(error));
  };
  if (v.last.torn && !v.segments.empty()) {
    auto cut = cut_back(v.segments.back().path, v.last.resume_offset);
    if (!cut) return forget_after(cut.error());
    v.segments.back().stamp = *cut;
    v.last.stamp = *cut;
    v.last.torn = false;
  }

  // The lines go where appending them one at a time would put them: a segment
  // takes lines until it holds the size limit, the line that crosses it
  // included, and the rest go on in the next one. Each segment's share is
  // written and flushed at once. Should a later share fail, the shares written
  // before it are taken back, so that the append records all its frames or none.
  struct Written {
    fs::path segment;
    std::uint64_t size_before;
    bool created;
  };
  std::vector<Written> written;
  const auto take_back = [&] {
    for (auto it = written.rbegin(); it != written.rend(); ++it) {
      if (it->created) {
        if (file_system().unlink(it->segment)) (void)file_system().sync_directory(parent_directory(it->segment));
      } else {
        (void)cut_back(it->segment, it->size_before);
      }
    }
  };
  bool raced = false;
  std::size_t next = 0;
  while (next < count) {
    const fs::path segment = choose_segment(v.segments, root_ / "ltr" / "current", today());
    const bool same = !v.segments.empty() && v.segments.back().path == segment;
    const std::uint64_t size_before = same ? v.segments.back().stamp.size : 0;
    std::uint64_t size = size_before + (same && v.last.unterminated_frame ? 1 : 0);
    const std::size_t first = next;
    std::string bytes;
    do {
      bytes += lines[next];
      size += lines[next].size();
      ++next;
    } while (next < count && size < LTR_SEGMENT_LIMIT);

    auto appended = append_segment_line(segment, bytes);
    if (!appended) {
      take_back();
      return forget_after(appended.error());
    }
    written.push_back(Written{segment, size_before, !same});
    const std::string& last_line = lines[next - 1];
    SegmentEnd& last = v.last;
    if (same) {
      if (appended->line_feed_added != last.unterminated_frame) appended->raced = true;
      v.segments.back().stamp = appended->stamp;
      last.resume_line += (last.unterminated_frame ? 1 : 0) + (next - first);
    } else {
      v.segments.push_back(SegmentFile{segment, appended->stamp});
      v.relist = true;  // its directory changed
      last.resume_line = 1 + (next - first);
    }
    last.stamp = appended->stamp;
    last.resume_offset = appended->stamp.size;
    last.resume_tip = tips[next - 1];
    last.boundary_offset =
        appended->stamp.size - std::min<std::uint64_t>(appended->stamp.size, last_line.size());
    last.boundary_digest = sha256_hex(last_line);
    last.unterminated_frame = false;
    raced = raced || appended->raced;
  }
  v.tip = std::move(tip);
  // Another writer wrote while this one did: the next append walks the chain
  // (what the follower built stays, and is built again by that walk).
  if (raced) verified_.reset();
  return v.tip.count;
}

}  // namespace kio::install
