#include "connector/manifest.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/file_io.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::connector {

using install::json::Json;
using install::json::Layout;

namespace {

constexpr std::string_view FEATURES_MEMBER = "\n  \"features\": ";
constexpr std::string_view ENTRY_PREFIX = "{\n  \"features\": [\n    ";
constexpr std::string_view ENTRY_SUFFIX = "\n  ]\n}";

// An entry as it stands inside the array, indented for its place there.
Result<std::string> entry_text(const Json& entry) {
  Json holder = Json::object();
  holder["features"] = Json::array({entry});
  auto text = install::json::write_value(holder, Layout::indented);
  if (!text) return std::unexpected(text.error());
  return text->substr(ENTRY_PREFIX.size(), text->size() - ENTRY_PREFIX.size() - ENTRY_SUFFIX.size());
}

// Every write of the manifest goes through here: the file is replaced whole,
// created owner-only, so a reader or a crash sees the old list or the new one.
Result<void> write_manifest_file(const fs::path& path, std::string_view bytes) {
  return replace_file(path, bytes, 0600, /*exact_mode=*/true);
}

}  // namespace

// Splits a checked manifest into its written form.
Result<ManifestWriter::Written> ManifestWriter::split(Json manifest) {
  Json& features = manifest["features"];
  Json entries = Json::array();
  entries.swap(features);  // the manifest now holds an empty array
  auto bare = install::json::write_value(manifest, Layout::indented);
  if (!bare) return std::unexpected(bare.error());
  // Only a member of the top-level object stands after a line feed and two
  // spaces; texts hold no raw line feed.
  const std::size_t member = bare->find(std::string(FEATURES_MEMBER) + "[]");
  if (member == std::string::npos) return fail("features-manifest features array missing");
  const std::size_t array = member + FEATURES_MEMBER.size();
  Written written{bare->substr(0, array), {}, bare->substr(array + 2)};
  for (const Json& entry : entries) {
    auto text = entry_text(entry);
    if (!text) return std::unexpected(text.error());
    written.entries += (written.entries.empty() ? "\n    " : ",\n    ") + *text;
  }
  return written;
}

// Reads and checks the manifest at `path`, or starts a new one when there is
// no regular file there.
Result<ManifestWriter::Written> ManifestWriter::load(const fs::path& path, const std::optional<struct stat>& st) {
  if (!st || !S_ISREG(st->st_mode)) {
    Json manifest = Json::object();
    manifest["features"] = Json::array();
    manifest["schema"] = FEATURES_MANIFEST_SCHEMA;
    return split(std::move(manifest));
  }
  auto text = read_file(path);
  if (!text) return std::unexpected(text.error());
  auto parsed = install::json::read_value(*text, install::json::Duplicates::last_wins);
  if (!parsed) return fail("features-manifest is corrupt");
  Json& manifest = *parsed;
  if (!manifest.is_object()) return fail("features-manifest schema is not this installer");
  const auto schema = manifest.find("schema");
  if (schema == manifest.end() || !schema->is_string() ||
      schema->get_ref<const std::string&>() != FEATURES_MANIFEST_SCHEMA) {
    return fail("features-manifest schema is not this installer");
  }
  const auto features = manifest.find("features");
  if (features == manifest.end() || !features->is_array()) return fail("features-manifest features array missing");
  return split(std::move(manifest));
}

ManifestWriter::ManifestWriter(const fs::path& install_root) : path_(install::features_manifest_path(install_root)) {}

Result<void> ManifestWriter::bring_up_to_date() {
  // Only a manifest that is not there starts empty: one that cannot be examined
  // (an I/O error, a refused permission) fails the entry, or the entries it
  // holds would be written over.
  std::optional<struct stat> st;
  if (auto examined = file_system().status(path_, /*follow_links=*/true)) {
    st = *examined;
  } else if (!examined.error().is(std::errc::no_such_file_or_directory)) {
    return fail("cannot read " + path_.string() + ": " + examined.error().message());
  }
  if (!held_ || !st || !S_ISREG(st->st_mode) || stamp_of(*st) != held_->stamp) {
    held_.reset();
    auto loaded = load(path_, st);
    if (!loaded) return std::unexpected(loaded.error());
    // A manifest read here is stamped with the status it was read under; a new
    // one (no file yet) is read again next time, which costs nothing.
    held_ = Held{st && S_ISREG(st->st_mode) ? stamp_of(*st) : FileStamp{}, std::move(*loaded)};
  }
  return {};
}

Result<void> ManifestWriter::check() {
  if (unwritten_ > 0) return {};  // the manifest in memory, as entries were added to it
  return bring_up_to_date();
}

Result<void> ManifestWriter::record(const Json& entry) {
  if (auto added = add(entry); !added) return added;
  return write();
}

Result<void> ManifestWriter::add(const Json& entry) {
  // Entries waiting to be written hold the manifest as this writer has it.
  if (unwritten_ == 0) {
    if (auto loaded = bring_up_to_date(); !loaded) return loaded;
  }
  auto text = entry_text(entry);
  if (!text) return std::unexpected(text.error());
  std::string& entries = held_->manifest.entries;
  entries += (entries.empty() ? "\n    " : ",\n    ") + *text;
  ++unwritten_;
  return {};
}

Result<void> ManifestWriter::write() {
  if (!held_) return fail("no manifest entry to write");
  unwritten_ = 0;
  const auto written = write_manifest_file(path_, held_->manifest.text());
  const auto after = stat_path(path_);
  if (!written || !after) {
    held_.reset();  // the file may be partly written: read it again next time
    return written;
  }
  held_->stamp = stamp_of(*after);
  return {};
}

}  // namespace kio::connector
