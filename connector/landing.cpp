#include "connector/landing.h"

#include <system_error>

#include "common/file_io.h"
#include "connector/admission.h"
#include "install/geonames.h"
#include "install/unpack.h"

namespace fs = std::filesystem;

namespace kio::connector {

using install::json::Json;

namespace {

void remove_tree_quietly(const fs::path& path) { (void)file_system().remove_tree(path); }

// Puts the staged directory at `target` in one step: exchanged with the one
// landed before (which is then removed), or renamed when there is none. A reader
// sees the old index or the new one, never a mix.
Result<void> swap_into_place(const fs::path& staged, const fs::path& target) {
  FileSystem& files = file_system();
  if (auto exchanged = files.exchange(staged, target); exchanged) {
    remove_tree_quietly(staged);  // now the old index
  } else if (exchanged.error().is(std::errc::no_such_file_or_directory)) {
    if (auto renamed = files.rename(staged, target); !renamed) return renamed;
  } else {
    return exchanged;
  }
  return files.sync_directory(parent_directory(target));
}

// The stream's files, checked, in `staged_index`: moved there when they were
// written as the stream arrived (only flushes were left), else unpacked from
// `packed`. A stream whose files could not be written as it arrived (a name
// refused, a record cut short) is unpacked from its bytes, which gives the
// refusal; what the system refused while writing them is returned as it is.
Result<void> stage_files(install::CompletedStream& stream, const fs::path& blobs, const fs::path& packed,
                         const fs::path& staged_index) {
  if (stream.unpacked && stream.unpacked->dir().parent_path() == blobs) {
    auto finished = stream.unpacked->finish();
    if (!finished) return std::unexpected(std::move(finished.error()));
    if (*finished) {
      if (auto moved = stream.unpacked->move_to(staged_index); !moved) return moved;
      return install::check_stream_files(stream.announce, staged_index, stream.file_digests);
    }
  }
  stream.unpacked.reset();  // removes what was written as the stream arrived
  return install::materialize_stream(stream.announce, packed, stream.file_digests, staged_index);
}

}  // namespace

Result<void> land_feature_index(ManifestWriter& manifest, install::Persist& store,
                                install::CompletedStream& stream) {
  const install::FileStreamAnnounce& announce = stream.announce;
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

  // Nothing is written to an install that is no longer where it was opened.
  if (auto in_place = store.check_in_place(); !in_place) return in_place;
  const fs::path blobs = store.blobs_root();
  const fs::path staging = blobs / (".incoming-" + announce.blob_id);
  remove_tree_quietly(staging);
  // Whatever fails from here on, the staging directory goes: nothing in it was
  // recorded, and a stream's bytes are not kept for a retry.
  struct Cleanup {
    const fs::path& dir;
    ~Cleanup() { remove_tree_quietly(dir); }
  } cleanup{staging};

  if (auto made = make_directories(staging); !made) return made;
  const fs::path packed = staging / "packed.bin";
  if (auto moved = stream.spool.move_to(packed); !moved) return moved;

  // The store's objection to this blob comes before any objection to its files,
  // as it would if the blob were recorded first.
  if (auto allowed = store.check_blob_identity(announce.blob_id, announce.sha256); !allowed) return allowed;

  const fs::path staged_index = staging / (announce.blob_id + ".lmdb");
  if (auto staged = stage_files(stream, blobs, packed, staged_index); !staged) return staged;
  if (auto flushed = flush_directory(staged_index); !flushed) return flushed;

  // A manifest that refuses every entry (not readable, not this installer's)
  // would fail the landing after the blob is recorded: it fails it before.
  if (auto checked = manifest.check(); !checked) return checked;

  // The staging file becomes the blob file by hard link, so it reaches the
  // device first; its write-back went on as its bytes came.
  if (auto flushed = stream.spool.flush(); !flushed) return flushed;
  auto record = store.put_blob_from_path(announce.blob_id, packed, feature, announce.sha256);
  if (!record) return std::unexpected(record.error());
  if (auto swapped = swap_into_place(staged_index, blobs / (announce.blob_id + ".lmdb")); !swapped) return swapped;

  Json entry = Json::object();
  entry["schema"] = FEATURE_ADMIT_SCHEMA;
  entry["feature"] = install::GEONAMES_FEATURE_NAME;
  entry["feature_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_id"] = record->blob_id;
  entry["blob_sha256"] = record->sha256;
  entry["blob_class"] = record->class_name;
  entry["version"] = FEATURE_VERSION;
  return manifest.record(entry);
}

}  // namespace kio::connector
