// Opening the store, and what the handle answers without touching the log.
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
  (void)store.refresh_ltr(/*want_blobs=*/false);
  // A blob write that a crash cut short is finished or undone; a log that does
  // not verify leaves it for a later open.
  (void)store.settle_pending_blobs();
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

fs::path Persist::blobs_root() const { return install::blobs_root(root_); }

Result<fs::path> Persist::today_segment_path() {
  if (auto ok = writable(); !ok) return std::unexpected(ok.error());
  if (auto migrated = migrate_names(); !migrated) return std::unexpected(migrated.error());
  return install::today_segment_path(root_, today_ ? today_() : local_today());
}

}  // namespace kio::install
