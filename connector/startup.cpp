#include "connector/startup.h"

#include <string>
#include <utility>

#include "common/file_io.h"
#include "install/paths.h"
#include "install/persist/store_lock.h"
#include "install/spool_file.h"

namespace kio::connector {

namespace fs = std::filesystem;

Result<OpenedInstall> open_install(const fs::path& root, SecretKey wrap_key, std::string_view root_text) {
  // One connector per install: a second one is refused before it writes anything.
  auto lock = install::lock_store(install::persist_root(root), root_text);
  if (!lock) return std::unexpected(std::move(lock.error()));
  // With the lock held no other writer's file is on its way: a temporary file of
  // a whole-file replace is what a kill between write and rename left behind.
  const std::string replaced[] = {
      install::peer_endpoint_path(root).filename().string(), install::features_manifest_path(root).filename().string(),
      install::blob_landed_path(root).filename().string(), install::blob_land_error_path(root).filename().string()};
  (void)remove_replace_leftovers(root, replaced);
  auto store = install::Persist::open(install::persist_root(root), std::move(wrap_key));
  if (!store) return std::unexpected(std::move(store.error()));
  clear_stream_leftovers(store->blobs_root());
  return OpenedInstall{std::move(*lock), std::move(*store)};
}

void clear_stream_leftovers(const fs::path& blobs_root) {
  install::SpoolFile::remove_leftovers(blobs_root);
  if (auto names = list_directory(blobs_root)) {
    for (const auto& name : *names) {
      if (name.starts_with(".incoming-")) (void)file_system().remove_tree(blobs_root / name);
    }
  }
}

}  // namespace kio::connector
