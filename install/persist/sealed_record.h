// What the store seals and how a sealed file looks.
//
// A sealed file ("identity.json", a sealed blob) holds one record: the format
// version and the two texts of a sealed envelope. Plaintexts on their way to
// being sealed (the identity, LTR events) are written into buffers that are
// wiped when released.
#pragma once

#include <string>

#include "install/crypto.h"

namespace kio::install::detail {

// Compact JSON, members in this order: "version" (always 1), "nonce_b64",
// "ciphertext_b64"; no line break after it.
std::string write_envelope(const SealedEnvelope& sealed);

// A std::string whose bytes are wiped before it is released. Reserve the final
// size up front so that no unwiped buffer is left behind by growth.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : s_(s) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit();

 private:
  std::string& s_;
};

}  // namespace kio::install::detail
