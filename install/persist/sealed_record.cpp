#include "install/persist/sealed_record.h"

#include <sodium.h>

#include <limits>

#include "install/json.h"

namespace kio::install::detail {

namespace {

// A std::string whose bytes are wiped before it is released.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : s_(s) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { sodium_memzero(s_.data(), s_.size()); }

 private:
  std::string& s_;
};

}  // namespace

std::string write_envelope(const SealedEnvelope& sealed) {
  std::string out;
  json::Writer(out, json::Layout::compact)
      .begin_object()
      .name("version").number(1)
      .name("nonce_b64").string(sealed.nonce_b64)
      .name("ciphertext_b64").string(sealed.ciphertext_b64)
      .end_object();
  return out;
}

std::optional<IdentityEnvelope> read_envelope(std::string_view text) {
  const auto record = json::read_record(text, json::Duplicates::refuse);
  if (!record || record->type != json::Type::object) return std::nullopt;
  const auto version = record->unsigned_number("version", std::numeric_limits<std::uint32_t>::max());
  const auto nonce = record->string("nonce_b64");
  const auto ciphertext = record->string("ciphertext_b64");
  if (!version || !nonce || !ciphertext) return std::nullopt;
  return IdentityEnvelope{static_cast<std::uint32_t>(*version), std::string(*nonce), std::string(*ciphertext)};
}

Result<SecretBytes> write_secret_record(std::size_t text_bytes, const std::function<void(json::Writer&)>& write_members) {
  std::string out;
  const WipeOnExit wipe(out);
  out.reserve(128 + 6 * text_bytes);
  json::Writer writer(out, json::Layout::compact);
  writer.begin_object();
  write_members(writer);
  writer.end_object();
  if (writer.error()) return fail(*writer.error());
  return SecretBytes(out.begin(), out.end());
}

}  // namespace kio::install::detail
