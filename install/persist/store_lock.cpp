#include "install/persist/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <string>

#include "common/os_error.h"

namespace kio::install {

Result<Fd> lock_store(const std::filesystem::path& persist_root, std::string_view root_text) {
  if (auto made = make_directories(persist_root, /*flush_new_entries=*/true); !made) return std::unexpected(made.error());
  auto dir = open_file(persist_root, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  int locked;
  do {
    locked = ::flock(dir->get(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      return fail("install root " + std::string(root_text) + " is in use by another process");
    }
    return fail(last_os_error_text());
  }
  return std::move(*dir);
}

}  // namespace kio::install
