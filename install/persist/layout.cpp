#include "install/persist/layout.h"

#include <sys/stat.h>

#include <cstdio>
#include <system_error>

#include "common/file_io.h"
#include "common/os_error.h"
#include "install/paths.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

// Moves the files of the older blob directory inside the persist root into
// the blobs root, then removes the older directory.
Result<void> move_legacy_blobs(const fs::path& persist_root) {
  const fs::path legacy = persist_root / "blobs";
  const fs::path blobs = install::blobs_root(persist_root);
  if (same_path(legacy, blobs)) return {};
  const auto st = stat_path(legacy);
  if (!st) return {};
  if (S_ISDIR(st->st_mode)) {
    auto names = list_directory(legacy);
    if (!names) return std::unexpected(names.error());
    bool moved = false;
    for (const auto& name : *names) {
      const fs::path target = blobs / name;
      if (stat_path(target)) continue;  // the blobs root already has this one
      if (::rename((legacy / name).c_str(), target.c_str()) != 0) return fail(last_os_error_text());
      moved = true;
    }
    if (moved) {
      if (auto synced = flush_directory(blobs); !synced) return synced;
    }
  }
  std::error_code ignored;
  fs::remove_all(legacy, ignored);
  return {};
}

}  // namespace

Result<void> ensure_layout(const fs::path& persist_root) {
  if (auto made = detail::create_private_dir(persist_root); !made) return made;
  for (const fs::path& dir : {persist_root / "ltr", persist_root / "ltr" / "current", persist_root / "lmdb",
                              install::blobs_root(persist_root)}) {
    if (auto made = detail::create_private_dir(dir); !made) return made;
  }
  return move_legacy_blobs(persist_root);
}

}  // namespace kio::install
