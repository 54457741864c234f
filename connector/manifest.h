// "features-manifest.json": the install's readable list of what the connector
// admitted or landed, oldest first. Plain JSON, rewritten whole on every entry.
#pragma once

#include <filesystem>

#include "install/json.h"
#include "install/result.h"

namespace kio::connector {

using install::Result;

inline constexpr const char* FEATURES_MANIFEST_SCHEMA = "kio.install.features-manifest.v1";

// Appends one entry (also one already listed) and replaces the file whole with
// two-space indentation, members in byte order at every level, mode 0600. A manifest that
// is not this installer's is never repaired: every call refuses it until fixed.
//
// The manifest last written or read is kept in memory, in its written form, with
// the status of its file (size, times, inode); while that status is unchanged
// the next entry is appended to it without reading or parsing the file again.
// A file changed, replaced or removed behind the connector's back is read
// afresh, as is any file after a failed write. The file is still written whole.
Result<void> record_inventory(const std::filesystem::path& install_root, const install::json::Json& entry);

// Fails as record_inventory would before it writes anything (a manifest that
// cannot be read or is not this installer's); writes nothing. A caller that must
// not leave work half-recorded asks this first.
Result<void> check_inventory(const std::filesystem::path& install_root);

}  // namespace kio::connector
