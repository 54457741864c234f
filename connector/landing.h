// Lands a received bootstrap stream as the geonames index: the packed bytes become
// one blob, its files are unpacked into "<blob id>.lmdb" beside the blobs, and the
// features manifest gets an entry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "install/bootstrap_stream.h"
#include "install/persist/persist.h"
#include "install/result.h"

namespace kio::connector {

using install::Result;

Result<void> land_feature_index(const std::filesystem::path& install_root, install::Persist& store,
                                const install::FileStreamAnnounce& announce, std::span<const std::uint8_t> bytes);

}  // namespace kio::connector
