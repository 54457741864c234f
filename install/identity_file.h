// Creating an install's sealed identity: what the product's installer writes and
// the store reads back when it opens.
#pragma once

#include <filesystem>
#include <string>

#include "common/secret.h"
#include "install/result.h"

namespace kio::install {

// A fresh version-7 UUID (48-bit Unix milliseconds, random rest) in lowercase text.
std::string new_uuid_v7();

// The identity.json bytes: compact {"version":1,"nonce_b64":..,"ciphertext_b64":..}
// sealing {"username":..,"founder_id":..} under the wrap key with the associated
// data "founder-identity".
Result<std::string> seal_identity(const SecretKey& wrap_key, const std::string& username,
                                  const std::string& founder_id);

}  // namespace kio::install
