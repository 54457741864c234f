#include "install/persist/private_files.h"

#include "common/file_io.h"
#include "common/os_error.h"

namespace kio::install {

std::string io_error(const std::error_code& ec) { return os_error_text(ec); }
std::string json_error(const nlohmann::json::exception& e) { return e.what(); }

Result<void> set_dir_private(const std::filesystem::path& dir) { return change_mode(dir, 0700); }

Result<void> write_private(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  if (auto made = detail::create_private_parent(path); !made) return made;
  return write_file(path, bytes, {.mode = 0600, .exact_mode = true, .flush = true, .flush_new_entry = true});
}

namespace detail {

Result<void> create_private_dir(const std::filesystem::path& dir) {
  if (auto made = make_directories(dir, /*flush_new_entries=*/true); !made) return made;
  return set_dir_private(dir);
}

Result<void> create_private_parent(const std::filesystem::path& path) {
  if (!path.has_parent_path()) return {};
  return create_private_dir(path.parent_path());
}

}  // namespace detail

}  // namespace kio::install
