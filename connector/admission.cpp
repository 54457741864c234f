#include "connector/admission.h"

#include "common/secret.h"
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

Result<Admission> read_geonames_pack(const p2p::KioFeatureFrame& frame) {
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
  Admission admission;
  admission.pack = std::move(*canonical);
  wipe_string(*canonical);

  Json& entry = admission.entry;
  entry = Json::object();
  entry["schema"] = FEATURE_ADMIT_SCHEMA;
  entry["feature"] = install::GEONAMES_FEATURE_NAME;
  entry["feature_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_id"] = install::GEONAMES_FEATURE_ID;
  entry["blob_class"] = "feature";
  entry["version"] = FEATURE_VERSION;
  entry["listed_blobs"] = Json::array();
  for (const auto& name : pack->features) entry["listed_blobs"].push_back(name);
  admission.line_name = "feature_pack_stored";
  admission.line_value = install::GEONAMES_FEATURE_ID;
  return admission;
}

Result<Admission> read_record(const p2p::KioFeatureFrame& frame) {
  auto value = install::json::read_value(frame.payload, install::json::Duplicates::last_wins);
  if (!value) return fail("bootstrap feature payload is not json");
  const WipeDocument wipe_document{*value};
  const auto schema = value->is_object() ? value->find("schema") : value->end();
  if (!value->is_object() || schema == value->end() || !schema->is_string() ||
      schema->get_ref<const std::string&>() != FEATURE_ADMIT_SCHEMA) {
    return fail("bootstrap feature schema mismatch");
  }
  const auto feature = value->find("feature");
  Admission admission;
  admission.line_name = "feature_admitted";
  admission.line_value =
      single_line(feature != value->end() && feature->is_string() ? feature->get_ref<const std::string&>()
                                                                   : std::string("unknown"));
  admission.entry = std::move(*value);
  return admission;
}

}  // namespace

Admission::~Admission() {
  wipe_string(pack);
  wipe_string(line_value);
  install::json::wipe_texts(entry);
}

Result<Admission> read_feature_frame(const p2p::KioFeatureFrame& frame) {
  if (format_uuid(frame.feature_id) == install::GEONAMES_FEATURE_ID) return read_geonames_pack(frame);
  return read_record(frame);
}

void AdmissionBatch::add(const p2p::KioFeatureFrame& frame) {
  items_.push_back(read_feature_frame(frame));
  bytes_ += frame.payload.size();
}

void AdmissionBatch::commit() {
  // Whatever happens below, every frame of the batch gets its line.
  struct Report {
    AdmissionBatch& batch;
    ~Report() {
      for (const auto& item : batch.items_) {
        if (item) {
          batch.output_.line(item->line_name, item->line_value);
        } else {
          batch.output_.error("feature: ", item.error().message());
        }
      }
      batch.items_.clear();
      batch.bytes_ = 0;
    }
  } report{*this};
  const auto fail_all = [this](const Error& error) {
    for (auto& item : items_) {
      if (item) item = std::unexpected(error);
    }
  };

  // Nothing is written to an install that is no longer where it was opened.
  if (auto in_place = store_.check_in_place(); !in_place) {
    for (auto& item : items_) item = std::unexpected(in_place.error());
    return;
  }

  // The packs first, as their blobs are recorded before their entries are listed.
  std::vector<install::BlobPut> puts;
  for (const auto& item : items_) {
    if (item && !item->pack.empty()) {
      puts.push_back(install::BlobPut{install::GEONAMES_FEATURE_ID, as_bytes(item->pack), /*feature=*/true,
                                      /*encrypted=*/false});
    }
  }
  if (!puts.empty()) {
    if (auto stored = store_.put_blobs_with_id(puts); !stored) return fail_all(stored.error());
  }

  // A frame whose entry the manifest refuses fails alone; the others are written together.
  bool added = false;
  for (auto& item : items_) {
    if (!item) continue;
    if (auto entry = manifest_.add(item->entry); !entry) {
      item = std::unexpected(entry.error());
    } else {
      added = true;
    }
  }
  if (added) {
    if (auto written = manifest_.write(); !written) fail_all(written.error());
  }
}

void handle_feature_frame(ManifestWriter& manifest, install::Persist& store, const p2p::KioFeatureFrame& frame,
                          const Output& output) {
  AdmissionBatch batch(manifest, store, output);
  batch.add(frame);
  batch.commit();
}

}  // namespace kio::connector
