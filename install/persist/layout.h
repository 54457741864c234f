// The store's directory tree, every directory of it owner-only (0700):
//   persist root/            the store; "identity.json" inside it
//   persist root/ltr/        LTR segments, read recursively
//   persist root/ltr/current new segments
//   persist root/lmdb        kept empty for other programs of the product
//   blobs root               blob files (beside the persist root)
#pragma once

#include <filesystem>

#include "common/result.h"

namespace kio::install {

// Creates the store's directories with mode 0700 (resetting the mode of those
// that exist).
Result<void> ensure_layout(const std::filesystem::path& persist_root);

// Moves the files of the older blob directory, persist root/"blobs", into the
// blobs root, then removes the older directory. A name the blobs root already
// has is dropped from the older directory only when both files hold the same
// bytes; a file with other bytes moves in as "<name>.older-copy" (or
// "<name>.older-copy-N" when that is taken too). Anything but a directory at
// persist root/"blobs" is left where it is. Runs only once the install
// identity opened with the wrap key, so that a wrong key changes nothing.
Result<void> move_legacy_blobs(const std::filesystem::path& persist_root);

}  // namespace kio::install
