#include "connector/admission.h"

#include "common/secret.h"
#include "connector/manifest.h"
#include "install/crypto.h"
#include "install/feature_pack.h"
#include "install/geonames.h"

namespace kio::connector {

using install::json::Json;

namespace {

// Texts of a received document are plaintext: wiped when it is released.
struct WipeDocument {
  Json& doc;
  ~WipeDocument() { install::json::wipe_texts(doc); }
};

Result<void> admit_geonames_pack(ManifestWriter& manifest, install::Persist& store,
                                 const p2p::KioFeatureFrame& frame, const Output& output) {
  auto pack = install::FeaturePack::decode(frame.payload);
  if (!pack) return std::unexpected(pack.error());
  // The pack and its canonical text are plaintext: wiped when released.
  struct WipePack {
    install::FeaturePack& pack;
    ~WipePack() { install::wipe(pack); }
  } wipe_pack{*pack};
  if (pack->id != install::GEONAMES_FEATURE_ID) return fail("geonames feature pack id mismatch");
  auto canonical = install::FeaturePack::encode(*pack);
  if (!canonical) return std::unexpected(canonical.error());
  struct WipeText {
    std::string& text;
    ~WipeText() { wipe_string(text); }
  } wipe_canonical{*canonical};
  // The pack is stored under the feature id itself, unsealed; a later pack replaces it.
  auto stored = store.put_blob_with_id(install::GEONAMES_FEATURE_ID, as_bytes(*canonical), /*feature=*/true,
                                       /*encrypted=*/false);
  if (!stored) return std::unexpected(stored.error());

  Json entry = Json::object();
  entry["schema"] = FEATURE_ADMIT_SCHEMA;
  entry["feature"] = install::GEONAMES_FEATURE_NAME;
  entry["feature_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_class"] = "feature";
  entry["version"] = FEATURE_VERSION;
  entry["listed_blobs"] = Json::array();
  for (const auto& name : pack->features) entry["listed_blobs"].push_back(name);
  const WipeDocument wipe_entry{entry};
  if (auto recorded = manifest.record(entry); !recorded) return recorded;

  output.line("feature_pack_stored", install::GEONAMES_FEATURE_ID);
  return {};
}

Result<void> admit_record(ManifestWriter& manifest, const p2p::KioFeatureFrame& frame,
                          const Output& output) {
  auto value = install::json::read_value(frame.payload, install::json::Duplicates::last_wins);
  if (!value) return fail("bootstrap feature payload is not json");
  const WipeDocument wipe_document{*value};
  const auto schema = value->is_object() ? value->find("schema") : value->end();
  if (!value->is_object() || schema == value->end() || !schema->is_string() ||
      schema->get_ref<const std::string&>() != FEATURE_ADMIT_SCHEMA) {
    return fail("bootstrap feature schema mismatch");
  }
  if (auto recorded = manifest.record(*value); !recorded) return recorded;

  const auto feature = value->find("feature");
  const std::string name =
      feature != value->end() && feature->is_string() ? feature->get<std::string>() : std::string("unknown");
  output.line("feature_admitted", single_line(name));
  return {};
}

}  // namespace

Result<void> handle_feature_frame(ManifestWriter& manifest, install::Persist& store,
                                  const p2p::KioFeatureFrame& frame, const Output& output) {
  // Nothing is written to an install that is no longer where it was opened.
  if (auto in_place = store.check_in_place(); !in_place) return in_place;
  if (format_uuid(frame.feature_id) == install::GEONAMES_FEATURE_ID) {
    return admit_geonames_pack(manifest, store, frame, output);
  }
  return admit_record(manifest, frame, output);
}

}  // namespace kio::connector
