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
  const auto envelope = detail::read_envelope(*content);
  if (!envelope) return fail(std::string(IDENTITY_CORRUPT));

  const auto plaintext =
      decrypt(wrap_key, as_bytes(IDENTITY_ASSOCIATED_DATA), envelope->nonce_b64, envelope->ciphertext_b64);
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
  const auto plaintext =
      detail::write_secret_record(identity.username.size() + identity.founder_id.size(), [&](json::Writer& w) {
        w.name("username").string(identity.username);
        w.name("founder_id").string(identity.founder_id);
      });
  if (!plaintext) return std::unexpected(plaintext.error());
  auto sealed = encrypt(wrap_key, as_bytes(IDENTITY_ASSOCIATED_DATA), *plaintext);
  if (!sealed) return std::unexpected(sealed.error());
  return write_private(persist_root / IDENTITY_FILE, as_bytes(detail::write_envelope(*sealed)));
}

}  // namespace kio::install
