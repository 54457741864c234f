// Private files and directories, flushing, whole-file reads and error texts.
#include <sodium.h>
#include <sys/stat.h>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/json.h"
#include "install/persist/persist.h"
#include "install/persist/private_files.h"

namespace kio::install {

std::string io_error(const std::error_code& ec) { return os_error_text(ec); }
std::string io_error(int err) { return os_error_text(err); }
std::string json_error(const nlohmann::json::exception& e) { return e.what(); }

Result<void> set_dir_private(const std::filesystem::path& dir) { return change_mode(dir, 0700); }

Result<void> write_private(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  if (path.has_parent_path()) {
    if (auto made = detail::create_private_dir(path.parent_path()); !made) return made;
  }
  return write_file(path, bytes, {.mode = 0600, .exact_mode = true, .flush = true, .flush_new_entry = true});
}

}  // namespace kio::install

namespace kio::install::detail {

Result<void> create_private_dir(const fs::path& dir) {
  if (auto made = make_directories(dir, /*flush_new_entries=*/true); !made) return made;
  return set_dir_private(dir);
}

std::string envelope_json(const SealedEnvelope& sealed) {
  std::string out;
  json::Writer(out, json::Layout::compact)
      .begin_object()
      .name("version").number(1)
      .name("nonce_b64").string(sealed.nonce_b64)
      .name("ciphertext_b64").string(sealed.ciphertext_b64)
      .end_object();
  return out;
}

WipeOnExit::~WipeOnExit() { sodium_memzero(s_.data(), s_.size()); }

}  // namespace kio::install::detail
