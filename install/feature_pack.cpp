#include "install/feature_pack.h"

#include <optional>
#include <string_view>

#include "common/utf8.h"
#include "install/json.h"

namespace kio::install {
namespace {

constexpr char kCouldNotParse[] = "feature pack could not be parsed";
constexpr char kCouldNotEncode[] = "feature pack could not be encoded";

std::optional<FeaturePackAction> read_action(const json::Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto id = json::get_u16(value, "id");
  auto name = json::get_string(value, "name");
  if (!id || !name) return std::nullopt;
  return FeaturePackAction{*id, std::move(*name)};
}

// Reads the document under the strict rules; nullopt when it is unreadable.
std::optional<FeaturePack> read_pack(std::span<const std::uint8_t> bytes) {
  auto parsed = json::read_value(bytes, json::Duplicates::refuse);
  if (!parsed) return std::nullopt;
  // The document's texts are plaintext that the pack copies: wiped either way.
  struct WipeOnExit {
    json::Json& doc;
    ~WipeOnExit() { json::wipe_texts(doc); }
  } wipe_document{*parsed};
  if (!parsed->is_object()) return std::nullopt;
  const json::Json& doc = *parsed;

  FeaturePack pack;
  if (!json::get_strings(doc, {{"schema", &pack.schema},
                               {"id", &pack.id},
                               {"blob", &pack.blob},
                               {"class", &pack.class_name},
                               {"short_name", &pack.short_name},
                               {"description", &pack.description}})) {
    return std::nullopt;
  }
  auto geonames_id = json::get_u64(doc, "geonames_id");
  if (!geonames_id) return std::nullopt;
  pack.geonames_id = *geonames_id;

  if (doc.contains("features")) {
    auto list = json::get_array(doc, "features");
    if (!list) return std::nullopt;
    for (const auto& item : **list) {
      auto text = json::as_string(item);
      if (!text) return std::nullopt;
      pack.features.push_back(std::move(*text));
    }
  }
  if (doc.contains("actions")) {
    auto list = json::get_array(doc, "actions");
    if (!list) return std::nullopt;
    for (const auto& item : **list) {
      auto action = read_action(item);
      if (!action) return std::nullopt;
      pack.actions.push_back(std::move(*action));
    }
  }
  return pack;
}

}  // namespace

Result<void> FeaturePack::verify(const FeaturePack& pack) {
  if (pack.schema != FEATURE_PACK_SCHEMA) return fail("feature pack schema is not admitted");
  if (pack.class_name != "feature") return fail("feature pack class is not admitted");
  if (pack.id.empty() || pack.blob.empty() || pack.short_name.empty()) {
    return fail("feature pack identity is not admitted");
  }
  return {};
}

Result<FeaturePack> FeaturePack::decode(std::span<const std::uint8_t> bytes) {
  auto pack = read_pack(bytes);
  if (!pack) return fail(kCouldNotParse);
  if (auto verified = verify(*pack); !verified) {
    wipe(*pack);
    return std::unexpected(verified.error());
  }
  return std::move(*pack);
}

void wipe(FeaturePack& pack) {
  for (std::string* text : {&pack.schema, &pack.id, &pack.blob, &pack.class_name, &pack.short_name,
                            &pack.description}) {
    wipe_string(*text);
  }
  for (auto& feature : pack.features) wipe_string(feature);
  for (auto& action : pack.actions) wipe_string(action.name);
}

Result<std::string> FeaturePack::encode(const FeaturePack& pack) {
  if (auto verified = verify(pack); !verified) return std::unexpected(verified.error());
  std::string out;
  json::Writer w(out, json::Layout::indented);
  w.begin_object();
  w.name("schema").string(pack.schema);
  w.name("id").string(pack.id);
  w.name("blob").string(pack.blob);
  w.name("class").string(pack.class_name);
  w.name("short_name").string(pack.short_name);
  w.name("description").string(pack.description);
  w.name("geonames_id").number(pack.geonames_id);
  if (!pack.features.empty()) {
    w.name("features").begin_array();
    for (const auto& feature : pack.features) w.string(feature);
    w.end_array();
  }
  if (!pack.actions.empty()) {
    w.name("actions").begin_array();
    for (const auto& action : pack.actions) {
      w.begin_object().name("id").number(action.id).name("name").string(action.name).end_object();
    }
    w.end_array();
  }
  w.end_object();
  // A text that is not UTF-8 has no JSON form; writing it raw would store bytes
  // that no reader accepts.
  if (w.error()) return fail(kCouldNotEncode);
  return out;
}

}  // namespace kio::install
