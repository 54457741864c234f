#include "install/persist/identity.h"

#include "common/bytes.h"
#include "common/file_io.h"
#include "install/crypto.h"
#include "install/json.h"
#include "install/persist/private_files.h"
#include "install/persist/sealed_record.h"

namespace kio::install {

namespace {

constexpr const char* IDENTITY_FILE = "identity.json";
constexpr std::string_view IDENTITY_ASSOCIATED_DATA = "founder-identity";
constexpr std::string_view IDENTITY_CORRUPT = "install identity is corrupt";

}  // namespace

Result<InstallIdentity> read_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key) {
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

Result<void> write_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key,
                            const InstallIdentity& identity) {
  std::string plaintext;
  const detail::WipeOnExit wipe(plaintext);
  plaintext.reserve(64 + 6 * (identity.username.size() + identity.founder_id.size()));
  json::Writer writer(plaintext, json::Layout::compact);
  writer.begin_object().name("username").string(identity.username).name("founder_id").string(identity.founder_id);
  writer.end_object();
  if (writer.error()) return fail(*writer.error());
  auto sealed = encrypt(wrap_key, as_bytes(IDENTITY_ASSOCIATED_DATA), as_bytes(plaintext));
  if (!sealed) return std::unexpected(sealed.error());
  return write_private(persist_root / IDENTITY_FILE, as_bytes(detail::write_envelope(*sealed)));
}

}  // namespace kio::install
