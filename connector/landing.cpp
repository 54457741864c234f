#include "connector/landing.h"

#include <system_error>

#include "common/file_io.h"
#include "common/os_error.h"
#include "connector/admission.h"
#include "connector/manifest.h"
#include "install/geonames.h"

namespace fs = std::filesystem;

namespace kio::connector {

using install::fail;
using install::json::Json;

namespace {

void remove_tree_quietly(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

}  // namespace

Result<void> land_feature_index(const fs::path& install_root, install::Persist& store,
                                const install::FileStreamAnnounce& announce, std::span<const std::uint8_t> bytes) {
  if (announce.feature_id != install::GEONAMES_FEATURE_ID) {
    return fail("unexpected feature_id for index stream: " + announce.feature_id);
  }
  if (announce.blob_id != install::GEONAMES_INDEX_BLOB_ID) {
    return fail("unexpected blob_id for geonames index: " + announce.blob_id);
  }
  bool feature;
  if (announce.blob_class == "bytes") {
    feature = false;
  } else if (announce.blob_class == "feature") {
    feature = true;
  } else {
    return fail("unsupported blob_class " + announce.blob_class);
  }

  const fs::path blobs = store.blobs_root();
  const fs::path staging = blobs / (".incoming-" + announce.blob_id);
  remove_tree_quietly(staging);
  if (auto made = make_directories(staging); !made) return made;
  const fs::path packed = staging / "packed.bin";
  // The staging file becomes the blob file by hard link, so it reaches the device first.
  if (auto written = write_file(packed, bytes, {.flush = true}); !written) return written;

  auto record = store.put_blob_from_path(announce.blob_id, packed, feature);
  if (!record) return std::unexpected(record.error());

  const fs::path index_dir = blobs / (announce.blob_id + ".lmdb");
  remove_tree_quietly(index_dir);
  auto unpacked = install::materialize_stream(announce, bytes, index_dir);
  if (!unpacked) return fail(unpacked.error().display());
  remove_tree_quietly(staging);

  Json entry = Json::object();
  entry["schema"] = FEATURE_ADMIT_SCHEMA;
  entry["feature"] = install::GEONAMES_FEATURE_NAME;
  entry["feature_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_id"] = record->blob_id;
  entry["blob_sha256"] = record->sha256;
  entry["blob_class"] = record->class_name;
  entry["version"] = FEATURE_VERSION;
  return record_inventory(install_root, entry);
}

}  // namespace kio::connector
