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
  auto parsed = json::parse_strict(bytes);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::Json& doc = *parsed;

  FeaturePack pack;
  struct TextField {
    const char* key;
    std::string* target;
  };
  const TextField texts[] = {
      {"schema", &pack.schema},         {"id", &pack.id},
      {"blob", &pack.blob},             {"class", &pack.class_name},
      {"short_name", &pack.short_name}, {"description", &pack.description},
  };
  for (const auto& field : texts) {
    auto text = json::get_string(doc, field.key);
    if (!text) return std::nullopt;
    *field.target = std::move(*text);
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

void append_member(std::string& out, int depth, std::string_view key) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  json::append_json_string(out, key);
  out += ": ";
}

bool all_texts_utf8(const FeaturePack& pack) {
  for (const std::string* text : {&pack.schema, &pack.id, &pack.blob, &pack.class_name, &pack.short_name,
                                  &pack.description}) {
    if (!is_valid_utf8(*text)) return false;
  }
  for (const auto& feature : pack.features) {
    if (!is_valid_utf8(feature)) return false;
  }
  for (const auto& action : pack.actions) {
    if (!is_valid_utf8(action.name)) return false;
  }
  return true;
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
  if (auto verified = verify(*pack); !verified) return std::unexpected(verified.error());
  return std::move(*pack);
}

Result<std::string> FeaturePack::encode(const FeaturePack& pack) {
  if (auto verified = verify(pack); !verified) return std::unexpected(verified.error());
  // A text that is not UTF-8 has no JSON form; writing it raw would store bytes
  // that no reader accepts.
  if (!all_texts_utf8(pack)) return fail(kCouldNotEncode);

  std::string out = "{\n";
  const std::pair<const char*, const std::string*> texts[] = {
      {"schema", &pack.schema},         {"id", &pack.id},
      {"blob", &pack.blob},             {"class", &pack.class_name},
      {"short_name", &pack.short_name}, {"description", &pack.description},
  };
  for (const auto& [key, value] : texts) {
    append_member(out, 1, key);
    json::append_json_string(out, *value);
    out += ",\n";
  }
  append_member(out, 1, "geonames_id");
  out += std::to_string(pack.geonames_id);

  if (!pack.features.empty()) {
    out += ",\n";
    append_member(out, 1, "features");
    out += "[\n";
    for (std::size_t i = 0; i < pack.features.size(); ++i) {
      out += "    ";
      json::append_json_string(out, pack.features[i]);
      out += i + 1 < pack.features.size() ? ",\n" : "\n";
    }
    out += "  ]";
  }
  if (!pack.actions.empty()) {
    out += ",\n";
    append_member(out, 1, "actions");
    out += "[\n";
    for (std::size_t i = 0; i < pack.actions.size(); ++i) {
      out += "    {\n";
      append_member(out, 3, "id");
      out += std::to_string(pack.actions[i].id);
      out += ",\n";
      append_member(out, 3, "name");
      json::append_json_string(out, pack.actions[i].name);
      out += "\n    }";
      out += i + 1 < pack.actions.size() ? ",\n" : "\n";
    }
    out += "  ]";
  }
  out += "\n}";
  return out;
}

}  // namespace kio::install
