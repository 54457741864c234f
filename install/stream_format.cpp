#include "install/stream_format.h"

#include "install/json.h"

namespace kio::install {
namespace {

std::optional<FileStreamEntry> read_entry(const json::Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto name = json::get_string(value, "name");
  auto size = json::get_u64(value, "size");
  auto sha256 = json::get_string(value, "sha256");
  if (!name || !size || !sha256) return std::nullopt;
  return FileStreamEntry{std::move(*name), *size, std::move(*sha256)};
}

}  // namespace

std::optional<FileStreamAnnounce> FileStreamAnnounce::from_control_payload(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes[0] != FILE_STREAM_ANNOUNCE_MARKER) return std::nullopt;
  auto parsed = json::read_value(bytes.subspan(1), json::Duplicates::refuse);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::Json& doc = *parsed;

  FileStreamAnnounce announce;
  if (!json::get_strings(doc, {{"schema", &announce.schema},
                               {"feature_id", &announce.feature_id},
                               {"blob_id", &announce.blob_id},
                               {"blob_class", &announce.blob_class},
                               {"sha256", &announce.sha256}})) {
    return std::nullopt;
  }
  auto total_bytes = json::get_u64(doc, "total_bytes");
  auto segment_count = json::get_u32(doc, "segment_count");
  auto files = json::get_array(doc, "files");
  if (!total_bytes || !segment_count || !files) return std::nullopt;
  announce.total_bytes = *total_bytes;
  announce.segment_count = *segment_count;
  for (const auto& item : **files) {
    auto entry = read_entry(item);
    if (!entry) return std::nullopt;
    announce.files.push_back(std::move(*entry));
  }
  return announce;
}

Bytes encode_announcement(const FileStreamAnnounce& a) {
  std::string json;
  json::Writer w(json, json::Layout::compact);
  w.begin_object()
      .name("schema").string(a.schema)
      .name("feature_id").string(a.feature_id)
      .name("blob_id").string(a.blob_id)
      .name("blob_class").string(a.blob_class)
      .name("sha256").string(a.sha256)
      .name("total_bytes").number(a.total_bytes)
      .name("segment_count").number(a.segment_count)
      .name("files").begin_array();
  for (const auto& file : a.files) {
    w.begin_object().name("name").string(file.name).name("size").number(file.size).name("sha256").string(file.sha256);
    w.end_object();
  }
  w.end_array().end_object();

  Bytes out;
  out.reserve(1 + json.size());
  out.push_back(FILE_STREAM_ANNOUNCE_MARKER);
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

void append_record_header(Bytes& out, std::string_view name, std::uint64_t body_size) {
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
  out.insert(out.end(), name.begin(), name.end());
  append_le<std::uint64_t>(out, body_size);
}

Bytes pack_files(std::span<const NamedFile> files) {
  std::size_t total = 0;
  for (const auto& [name, body] : files) total += record_header_size(name.size()) + body.size();
  Bytes out;
  out.reserve(total);
  for (const auto& [name, body] : files) {
    append_record_header(out, name, body.size());
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

}  // namespace kio::install
