// Helpers shared by the parts of the persist module; not used outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/secret.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "install/json.h"
#include "install/paths.h"
#include "install/persist/persist.h"
#include "install/result.h"

namespace kio::install::detail {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Directories.

// Creates the directory and its missing ancestors, flushing each new entry to the
// device, then sets the directory itself to mode 0700.
Result<void> create_private_dir(const fs::path& dir);

// ---------------------------------------------------------------------------
// Records.

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

// The sealed-file record (identity, sealed blobs): compact JSON, version 1,
// then the nonce and ciphertext texts.
std::string envelope_json(const SealedEnvelope& sealed);

}  // namespace kio::install::detail
