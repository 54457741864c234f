// The store's directory tree, every directory of it owner-only (0700):
//   persist root/            the store; "identity.json" inside it
//   persist root/ltr/        LTR segments, read recursively
//   persist root/ltr/current new segments
//   persist root/lmdb        kept empty for other programs of the product
//   blobs root               blob files (beside the persist root)
#pragma once

#include <filesystem>

#include "install/result.h"

namespace kio::install {

// Creates the store's directories with mode 0700 (resetting the mode of those
// that exist) and moves blob files of the older persist root/"blobs" into the
// blobs root.
Result<void> ensure_layout(const std::filesystem::path& persist_root);

}  // namespace kio::install
