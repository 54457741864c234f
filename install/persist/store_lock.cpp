#include "install/persist/store_lock.h"

#include <fcntl.h>

#include <string>

#include "common/file_io.h"

namespace kio::install {

Result<Fd> lock_store(const std::filesystem::path& persist_root, std::string_view root_text) {
  if (auto made = make_directories(persist_root, /*flush_new_entries=*/true); !made) return std::unexpected(made.error());
  auto dir = open_file(persist_root, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  auto locked = file_system().try_lock(dir->get());
  if (!locked) return std::unexpected(locked.error());
  if (!*locked) return fail("install root " + std::string(root_text) + " is in use by another process");
  return std::move(*dir);
}

}  // namespace kio::install
