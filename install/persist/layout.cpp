#include "install/persist/layout.h"

#include <sys/stat.h>

#include <cstdio>

#include "common/file_io.h"
#include "install/crypto.h"
#include "install/paths.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

// Whether two paths are regular files holding the same bytes.
bool same_content(const fs::path& a, const fs::path& b) {
  const auto sa = stat_path(a);
  const auto sb = stat_path(b);
  if (!sa || !sb || !S_ISREG(sa->st_mode) || !S_ISREG(sb->st_mode) || sa->st_size != sb->st_size) return false;
  const auto da = sha256_file(a);
  const auto db = sha256_file(b);
  return da && db && *da == *db;
}

// A free name beside `target` for an older file whose own name is taken:
// "<name>.older-copy", then "<name>.older-copy-2", and so on.
fs::path aside_name(const fs::path& target) {
  fs::path aside = target;
  aside += ".older-copy";
  // A dangling link holds its name too.
  for (int n = 2; file_system().status(aside, /*follow_links=*/false); ++n) {
    aside = target;
    aside += ".older-copy-" + std::to_string(n);
  }
  return aside;
}

}  // namespace

Result<void> ensure_layout(const fs::path& persist_root) {
  if (auto made = detail::create_private_dir(persist_root); !made) return made;
  for (const fs::path& dir : {persist_root / "ltr", persist_root / "ltr" / "current", persist_root / "lmdb",
                              install::blobs_root(persist_root)}) {
    if (auto made = detail::create_private_dir(dir); !made) return made;
  }
  return {};
}

Result<void> move_legacy_blobs(const fs::path& persist_root) {
  const fs::path legacy = persist_root / "blobs";
  const fs::path blobs = install::blobs_root(persist_root);
  if (same_path(legacy, blobs)) return {};
  const auto st = stat_path(legacy);
  // Anything but a directory at that name (a plain file, say) is not the older
  // blob directory and is left alone.
  if (!st || !S_ISDIR(st->st_mode)) return {};
  {
    auto names = list_directory(legacy);
    if (!names) return std::unexpected(names.error());
    bool moved = false;
    for (const auto& name : *names) {
      const fs::path source = legacy / name;
      fs::path target = blobs / name;
      if (stat_path(target)) {
        // The blobs root already has this name. The same bytes twice need no
        // keeping; other bytes are kept beside it, never dropped.
        if (same_content(source, target)) continue;
        target = aside_name(target);
      }
      if (auto renamed = file_system().rename(source, target); !renamed) return renamed;
      moved = true;
    }
    if (moved) {
      if (auto synced = flush_directory(blobs); !synced) return synced;
    }
  }
  (void)file_system().remove_tree(legacy);
  return {};
}

}  // namespace kio::install
