#include "install/persist/sealed_record.h"

#include <sodium.h>

#include "install/json.h"

namespace kio::install::detail {

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

WipeOnExit::~WipeOnExit() { sodium_memzero(s_.data(), s_.size()); }

}  // namespace kio::install::detail
