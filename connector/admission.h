// What a feature frame received on channel 0 means for the install: the geonames
// feature pack is stored as a blob; any other frame is an admission record.
#pragma once

#include <filesystem>

#include "connector/manifest.h"
#include "connector/output.h"
#include "install/persist/persist.h"
#include "common/result.h"
#include "p2p/kiofeature_frame.h"

namespace kio::connector {


inline constexpr const char* FEATURE_ADMIT_SCHEMA = "kio.bootstrap.feature-admit.v1";
inline constexpr const char* FEATURE_VERSION = "v00001";

// Prints "feature_pack_stored=" or "feature_admitted=" on success; an error is
// returned for the loop to report. The entry goes to the install's manifest.
Result<void> handle_feature_frame(ManifestWriter& manifest, install::Persist& store,
                                  const p2p::KioFeatureFrame& frame, const Output& output);

}  // namespace kio::connector
