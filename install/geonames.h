// The geonames feature: the one feature whose pack the connector stores, and
// the one index stream it lands. Peers and tools send under the same ids.
#pragma once

namespace kio::install {

inline constexpr const char* GEONAMES_FEATURE_ID = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
inline constexpr const char* GEONAMES_INDEX_BLOB_ID = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";
inline constexpr const char* GEONAMES_FEATURE_NAME = "geonames";

}  // namespace kio::install
