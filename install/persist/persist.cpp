// Opening the store, the directories it holds, and the calls it hands on to the
// log and the blob store.
#include "install/persist/persist.h"

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/paths.h"
#include "install/persist/layout.h"

namespace kio::install {

namespace fs = std::filesystem;

Result<Persist> Persist::open(fs::path persist_root, SecretKey wrap_key) {
  // On any failure the key goes out of scope here and is wiped.
  if (auto laid_out = ensure_layout(persist_root); !laid_out) return std::unexpected(laid_out.error());
  // Nothing is renamed or moved before the identity opened with this key.
  auto identity = read_identity(persist_root, wrap_key);
  if (!identity) return std::unexpected(identity.error());
  if (auto migrated = migrate_ltr_names(persist_root); !migrated) return std::unexpected(migrated.error());
  if (auto moved = move_legacy_blobs(persist_root); !moved) return std::unexpected(moved.error());
  Persist store(std::move(persist_root), std::move(identity->founder_id), std::move(wrap_key), false);
  if (auto held = store.hold_directories(); !held) return std::unexpected(held.error());
  // The chain is verified once here, so that appends start from its tip. A log
  // that does not verify still opens: its damage stops every append, with the
  // message that names it, as it would have stopped the first.
  (void)store.blobs_.catch_up(store.events(), /*want_records=*/false);
  // A blob write that a crash cut short is finished or undone; a log that does
  // not verify leaves it for a later open.
  (void)store.blobs_.settle_pending(store.events());
  return store;
}

Result<Persist> Persist::open_read_only(fs::path persist_root, SecretKey wrap_key) {
  auto identity = read_identity(persist_root, wrap_key);
  if (!identity) return std::unexpected(identity.error());
  return Persist(std::move(persist_root), std::move(identity->founder_id), std::move(wrap_key), true);
}

Result<void> Persist::writable() const {
  if (read_only_) return fail("the store is open for reading only");
  return check_in_place();
}

Result<void> Persist::hold_directories() {
  const fs::path blobs = blobs_root();
  // The blobs root of the relative persist root "persist" is "blobs": its
  // parent is the working directory, not the empty path.
  const fs::path install = parent_directory(blobs);
  held_.clear();
  for (const auto& [role, path] : {std::pair<const char*, fs::path>{"install root", install},
                                   {"persist root", root_},
                                   {"blobs root", blobs}}) {
    const auto st = stat_path(path);
    if (!st) return fail(last_os_error_text());
    held_.push_back(HeldDirectory{role, path, st->st_dev, st->st_ino});
  }
  return {};
}

Result<void> Persist::check_in_place() const {
  for (const HeldDirectory& dir : held_) {
    const auto st = stat_path(dir.path);
    if (!st || st->st_dev != dir.device || st->st_ino != dir.inode) {
      return fail(std::string(dir.role) + " " + dir.path.string() + " was moved or removed after the store opened");
    }
  }
  return {};
}

fs::path Persist::blobs_root() const { return blobs_.root(); }

Result<fs::path> Persist::today_segment_path() {
  if (auto ok = writable(); !ok) return std::unexpected(ok.error());
  return log_.today_segment_path();
}

Result<std::vector<LtrFrame>> Persist::read_frames() {
  std::vector<LtrFrame> frames;
  auto log = log_.read([&](const LtrFrameView& frame, const FramePlace&) { frames.push_back(frame_of(frame)); });
  if (!log) return fail(log.error().message);
  return frames;
}

Result<std::uint64_t> Persist::append_ltr_payload(const LtrPayload& payload) {
  return blobs_.append(events(), payload);
}

LtrResult<std::uint64_t> Persist::visit_events(const std::function<void(std::uint64_t, LtrPayload&)>& visit) {
  return events().visit(visit);
}

Result<std::vector<LtrPayload>> Persist::read_payloads() {
  std::vector<LtrPayload> events;
  auto read = visit_events([&](std::uint64_t, LtrPayload& event) { events.push_back(std::move(event)); });
  if (!read) return fail(read.error().message);
  return events;
}

Result<BlobRecord> Persist::put_blob_with_id(std::string_view id, std::span<const std::uint8_t> bytes, bool feature,
                                             bool encrypted) {
  return blobs_.put_with_id(events(), id, bytes, feature, encrypted);
}

Result<std::vector<BlobRecord>> Persist::put_blobs_with_id(std::span<const BlobPut> puts) {
  return blobs_.put_all_with_id(events(), puts);
}

Result<BlobRecord> Persist::put_blob_from_path(std::string_view id, const fs::path& source, bool feature) {
  return blobs_.put_from_path(events(), id, source, feature);
}

Result<BlobRecord> Persist::put_blob_from_path(std::string_view id, const fs::path& source, bool feature,
                                               std::string_view sha256) {
  return blobs_.put_from_path(events(), id, source, feature, sha256);
}

Result<void> Persist::check_blob_identity(std::string_view id, std::string_view sha256) {
  return blobs_.check_identity(events(), id, sha256);
}

Result<std::vector<BlobRecord>> Persist::blob_records() { return blobs_.records(events()); }

Result<void> Persist::check_blob_file(const BlobRecord& record) { return blobs_.check_file(wrap_key_, record); }

Result<void> Persist::audit_blob_file(const BlobRecord& record, std::uint64_t snapshot_frames,
                                      std::chrono::milliseconds pause) {
  return blobs_.audit_file(events(), record, snapshot_frames, pause);
}

}  // namespace kio::install
