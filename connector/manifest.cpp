#include "connector/manifest.h"

#include <system_error>

#include "common/file_io.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::connector {

using install::fail;
using install::json::Json;

Result<void> record_inventory(const fs::path& install_root, const Json& entry) {
  const fs::path path = install::features_manifest_path(install_root);
  Json manifest;
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    manifest = Json::object();
    manifest["features"] = Json::array();
    manifest["schema"] = FEATURES_MANIFEST_SCHEMA;
  } else {
    auto text = read_file(path);
    if (!text) return std::unexpected(text.error());
    auto parsed = install::json::read_value(*text, install::json::Duplicates::last_wins);
    if (!parsed) return fail("features-manifest is corrupt");
    manifest = std::move(*parsed);
  }
  if (!manifest.is_object()) return fail("features-manifest schema is not this installer");
  const auto schema = manifest.find("schema");
  if (schema == manifest.end() || !schema->is_string() ||
      schema->get_ref<const std::string&>() != FEATURES_MANIFEST_SCHEMA) {
    return fail("features-manifest schema is not this installer");
  }
  const auto features = manifest.find("features");
  if (features == manifest.end() || !features->is_array()) return fail("features-manifest features array missing");
  features->push_back(entry);

  auto bytes = install::json::write_value(manifest, install::json::Layout::indented);
  if (!bytes) return std::unexpected(bytes.error());
  if (auto written = write_file(path, *bytes); !written) return written;
  return change_mode(path, 0600);
}

}  // namespace kio::connector
