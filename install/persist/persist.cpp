// Opening the store, and what the handle answers without touching the log.
#include "install/persist/persist.h"

#include "install/paths.h"
#include "install/persist/layout.h"

namespace kio::install {

namespace fs = std::filesystem;

Result<Persist> Persist::open(fs::path persist_root, SecretKey wrap_key) {
  // On any failure the key goes out of scope here and is wiped.
  if (auto laid_out = ensure_layout(persist_root); !laid_out) return std::unexpected(laid_out.error());
  if (auto migrated = migrate_ltr_names(persist_root); !migrated) return std::unexpected(migrated.error());
  auto identity = read_identity(persist_root, wrap_key);
  if (!identity) return std::unexpected(identity.error());
  Persist store(std::move(persist_root), std::move(identity->founder_id), std::move(wrap_key), false);
  // The chain is verified once here, so that appends start from its tip. A log
  // that does not verify still opens: its damage stops every append, with the
  // message that names it, as it would have stopped the first.
  (void)store.refresh_ltr(/*want_blobs=*/false);
  return store;
}

Result<Persist> Persist::open_read_only(fs::path persist_root, SecretKey wrap_key) {
  auto identity = read_identity(persist_root, wrap_key);
  if (!identity) return std::unexpected(identity.error());
  return Persist(std::move(persist_root), std::move(identity->founder_id), std::move(wrap_key), true);
}

Result<void> Persist::writable() const {
  if (read_only_) return fail("the store is open for reading only");
  return {};
}

fs::path Persist::blobs_root() const { return install::blobs_root(root_); }

Result<fs::path> Persist::today_segment_path() {
  if (auto ok = writable(); !ok) return std::unexpected(ok.error());
  if (auto migrated = migrate_names(); !migrated) return std::unexpected(migrated.error());
  return install::today_segment_path(root_, today_ ? today_() : local_today());
}

}  // namespace kio::install
