// The reports of a bootstrap stream that was announced but will not land, as
// the connector writes them (on standard error and in the landing's error
// file) and as a sender reads them back. Each names the stream by its blob id.
#pragma once

#include <string>
#include <string_view>

namespace kio::install {

// No stream frame arrived for the stall time-out; `progress` is
// "N of M frames arrived".
inline std::string stream_stalled_report(std::string_view blob_id, std::string_view progress) {
  return "stream " + std::string(blob_id) + " stalled: " + std::string(progress) + "; abandoned";
}
// The stream's session ended before the stream completed.
inline std::string stream_orphaned_report(std::string_view blob_id, std::string_view progress) {
  return "stream " + std::string(blob_id) + " abandoned: its session ended with " + std::string(progress);
}
// The announcement was not taken.
inline std::string stream_refused_report(std::string_view blob_id, std::string_view reason) {
  return "stream " + std::string(blob_id) + " refused: " + std::string(reason);
}
// The stream ended on an error while it was received.
inline std::string stream_failed_report(std::string_view blob_id, std::string_view reason) {
  return "stream " + std::string(blob_id) + " failed: " + std::string(reason);
}

// Whether `report` says that the stream stopped arriving part-way (stalled, or
// its session ended): what datagrams lost on the way do, so sending it again,
// more slowly, can land it.
inline bool reports_abandoned_stream(std::string_view report, std::string_view blob_id) {
  const std::string named = "stream " + std::string(blob_id) + " ";
  if (!report.starts_with(named)) return false;
  const std::string_view rest = report.substr(named.size());
  return rest.starts_with("stalled: ") || rest.starts_with("abandoned: ");
}
// Whether `report` is about a stream of another blob id: a stream report that
// does not name this one.
inline bool reports_other_stream(std::string_view report, std::string_view blob_id) {
  return report.starts_with("stream ") && !report.starts_with("stream " + std::string(blob_id) + " ");
}

}  // namespace kio::install
