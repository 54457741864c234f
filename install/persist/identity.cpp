// The store's directory layout, the sealed install identity and opening the store.
#include <sys/stat.h>

#include <cstdio>

#include "common/os_error.h"
#include "install/crypto.h"
#include "install/json.h"
#include "install/paths.h"
#include "install/persist/persist.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

constexpr const char* IDENTITY_FILE = "identity.json";
constexpr std::string_view IDENTITY_CORRUPT = "install identity is corrupt";

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

Result<InstallIdentity> read_identity(const fs::path& persist_root, const SecretKey& wrap_key) {
  auto content = read_file(persist_root / IDENTITY_FILE);
  if (!content) return std::unexpected(content.error());
  const auto envelope = json::read_record(*content, json::Duplicates::refuse);
  if (!envelope || envelope->type != json::Type::object) return fail(std::string(IDENTITY_CORRUPT));
  const auto version = envelope->unsigned_number("version", UINT32_MAX);
  const auto nonce = envelope->string("nonce_b64");
  const auto ciphertext = envelope->string("ciphertext_b64");
  if (!version || !nonce || !ciphertext) return fail(std::string(IDENTITY_CORRUPT));

  const auto plaintext = decrypt(wrap_key, as_bytes(IDENTITY_ASSOCIATED_DATA), *nonce, *ciphertext);
  if (!plaintext) return std::unexpected(plaintext.error());
  const auto identity = json::read_record(as_text(*plaintext), json::Duplicates::refuse);
  if (!identity || identity->type != json::Type::object) return fail(std::string(IDENTITY_CORRUPT));
  const auto username = identity->string("username");
  const auto founder_id = identity->string("founder_id");
  if (!username || !founder_id) return fail(std::string(IDENTITY_CORRUPT));
  return InstallIdentity{std::string(*username), std::string(*founder_id)};
}

Result<void> write_identity(const fs::path& persist_root, const SecretKey& wrap_key, const InstallIdentity& identity) {
  std::string plaintext;
  const detail::WipeOnExit wipe(plaintext);
  plaintext.reserve(64 + 6 * (identity.username.size() + identity.founder_id.size()));
  json::Writer writer(plaintext, json::Layout::compact);
  writer.begin_object().name("username").string(identity.username).name("founder_id").string(identity.founder_id);
  writer.end_object();
  if (writer.error()) return fail(*writer.error());
  auto sealed = encrypt(wrap_key, as_bytes(IDENTITY_ASSOCIATED_DATA), as_bytes(plaintext));
  if (!sealed) return std::unexpected(sealed.error());
  return write_private(persist_root / IDENTITY_FILE, as_bytes(detail::envelope_json(*sealed)));
}

Result<Persist> Persist::open(fs::path persist_root, SecretKey wrap_key) {
  // On any failure the key goes out of scope here and is wiped.
  if (auto laid_out = ensure_layout(persist_root); !laid_out) return std::unexpected(laid_out.error());
  if (auto migrated = migrate_ltr_names(persist_root); !migrated) return std::unexpected(migrated.error());
  auto identity = read_identity(persist_root, wrap_key);
  if (!identity) return std::unexpected(identity.error());
  return Persist(std::move(persist_root), std::move(identity->founder_id), std::move(wrap_key));
}

fs::path Persist::blobs_root() const { return install::blobs_root(root_); }

Result<fs::path> Persist::today_segment_path() {
  return install::today_segment_path(root_, today_ ? today_() : local_today());
}

}  // namespace kio::install
