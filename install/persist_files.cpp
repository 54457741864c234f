// Private files and directories, flushing, whole-file reads and error texts.
#include <sodium.h>
#include <sys/stat.h>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/json.h"
#include "install/persist.h"
#include "install/persist_internal.h"

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
  std::string json = "{\"version\":1,\"nonce_b64\":";
  json::append_json_string(json, sealed.nonce_b64);
  json += ",\"ciphertext_b64\":";
  json::append_json_string(json, sealed.ciphertext_b64);
  json += "}";
  return json;
}

WipeOnExit::~WipeOnExit() { sodium_memzero(s_.data(), s_.size()); }

std::optional<std::string> unwritable_text_error(std::string_view text) {
  if (is_valid_utf8(text)) return std::nullopt;
  nlohmann::json value = std::string(text);
  std::optional<std::string> message;
  try {
    (void)value.dump();
  } catch (const nlohmann::json::exception& e) {
    message = json_error(e);
  }
  auto& held = value.get_ref<std::string&>();
  sodium_memzero(held.data(), held.size());
  return message ? message : std::optional<std::string>("invalid UTF-8 text");
}

}  // namespace kio::install::detail
