// The install identity: persist root/"identity.json", sealed under the wrap
// key. The component that creates an install writes it; the store only reads
// it, for the `founder_id` that binds every LTR frame to this install.
#pragma once

#include <filesystem>
#include <string>

#include "common/secret.h"
#include "common/result.h"

namespace kio::install {

struct InstallIdentity {
  std::string username;
  std::string founder_id;
};

Result<InstallIdentity> read_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key);
// Writes persist root/"identity.json" sealed under the wrap key (installers and tests).
Result<void> write_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key,
                            const InstallIdentity& identity);

}  // namespace kio::install
