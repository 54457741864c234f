// Lands a received bootstrap stream as the geonames index: the spooled bytes
// become one blob, its files (written as the stream arrived, or unpacked now)
// go into "<blob id>.lmdb" beside the blobs, and the install's features manifest
// gets an entry.
#pragma once

#include <filesystem>

#include "connector/manifest.h"
#include "install/stream_receiver.h"
#include "install/persist/persist.h"
#include "common/result.h"

namespace kio::connector {


// Nothing is recorded before the stream is known to land whole: its files are
// flushed (or, when they were not written as the stream arrived, unpacked) and
// checked in the staging directory first, and the manifest is read
// and checked, and only then is the blob recorded, the index directory swapped
// into place whole and the manifest entry appended. A landing refused before
// that records nothing and leaves the index and blob landed before untouched.
// Once the blob is recorded nothing can take the record back: if the swap or
// the manifest's write still fails (a full disk), the blob stays recorded (and
// the new index in place, when the swap was done) and the error is returned;
// the same stream sent again then finds its record and completes the landing.
// The stream's spool file, and the directory its files were written into as it
// arrived, are used up either way.
Result<void> land_feature_index(ManifestWriter& manifest, install::Persist& store,
                                install::CompletedStream& stream);

}  // namespace kio::connector
