#include "install/landing_status.h"

#include <algorithm>

namespace kio::install {

std::string landed_status_text(const FileStreamAnnounce& a) {
  return "feature_id=" + a.feature_id + "\nblob_id=" + a.blob_id + "\nsha256=" + a.sha256 +
         "\nbytes=" + std::to_string(a.total_bytes) + "\nclass=" + a.blob_class + "\n";
}

std::string land_error_status_text(std::string_view one_line_message) {
  return std::string(one_line_message) + "\n";
}

bool reports_landing(std::string_view landed, std::string_view sha256) {
  return std::count(landed.begin(), landed.end(), '\n') >= 5 &&
         landed.find("sha256=" + std::string(sha256) + "\n") != std::string_view::npos;
}

std::optional<std::string> land_error_message(std::string_view content) {
  if (!content.ends_with('\n')) return std::nullopt;
  return std::string(content.substr(0, content.find('\n')));
}

StatusSnapshot StatusSnapshot::take(const std::filesystem::path& path) {
  StatusSnapshot snapshot;
  const auto st = stat_path(path);
  if (!st) return snapshot;
  snapshot.stamp = stamp_of(*st);
  if (auto text = read_file(path)) snapshot.content = std::move(*text);
  return snapshot;
}

bool StatusSnapshot::rewritten_since(const StatusSnapshot& before) const {
  if (stamp.has_value() != before.stamp.has_value()) return true;
  if (stamp && stamp->modified_ns != before.stamp->modified_ns) return true;
  return content != before.content;
}

}  // namespace kio::install
