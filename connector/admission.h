// What a feature frame received on channel 0 means for the install: the geonames
// feature pack is stored as a blob; any other frame is an admission record.
// Either way the install's manifest gets an entry and a report line is printed.
//
// Frames that arrive together are made durable together (AdmissionBatch): each
// is checked as it comes, and once the batch ends their blobs are put with one
// flush of the log, the manifest is replaced once with all their entries, and
// only then are their report lines printed, in order.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "common/result.h"
#include "connector/manifest.h"
#include "connector/output.h"
#include "install/json.h"
#include "install/persist/persist.h"
#include "p2p/kiofeature_frame.h"

namespace kio::connector {

inline constexpr const char* FEATURE_ADMIT_SCHEMA = "kio.bootstrap.feature-admit.v1";
inline constexpr const char* FEATURE_VERSION = "v00001";

// A feature frame checked and turned into what it asks of the install. Its
// texts are plaintext of the peer's: wiped when it is released.
struct Admission {
  std::string pack;             // the geonames pack's canonical text, its blob's bytes; empty for a record
  install::json::Json entry;    // the manifest entry
  const char* line_name = "";   // the report line once it is durable
  std::string line_value;

  Admission() = default;
  Admission(Admission&&) = default;
  Admission& operator=(Admission&&) = default;
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;
  ~Admission();
};

// Decodes and checks a frame; nothing is written. The error is the frame's report.
Result<Admission> read_feature_frame(const p2p::KioFeatureFrame& frame);

// The feature frames of one batch, from their arrival to their report lines.
class AdmissionBatch {
 public:
  // A batch holds at most this many frames, and ends with the frame that
  // brings its payload bytes to the second bound: no report line waits behind
  // more than that.
  static constexpr std::size_t MAX_FRAMES = 256;
  static constexpr std::size_t MAX_BYTES = std::size_t{4} << 20;

  AdmissionBatch(ManifestWriter& manifest, install::Persist& store, const Output& output)
      : manifest_(manifest), store_(store), output_(output) {}

  // Checks the frame and keeps what it asks for the commit (or its error).
  void add(const p2p::KioFeatureFrame& frame);
  bool empty() const { return items_.empty(); }
  bool full() const { return items_.size() >= MAX_FRAMES || bytes_ >= MAX_BYTES; }

  // Makes every admission of the batch durable together, then prints each
  // frame's report line, in order: "feature_pack_stored=" or
  // "feature_admitted=" for a frame now durable, a "feature: " error line for
  // one that failed. A failure of what they share (the store's put, the
  // manifest's write) fails every frame that shared it, each with its own
  // error line. The batch is empty afterwards.
  void commit();

 private:
  ManifestWriter& manifest_;
  install::Persist& store_;
  const Output& output_;
  std::vector<Result<Admission>> items_;
  std::size_t bytes_ = 0;
};

// One frame alone, as a batch of one: its report line (or error line) is printed.
void handle_feature_frame(ManifestWriter& manifest, install::Persist& store, const p2p::KioFeatureFrame& frame,
                          const Output& output);

}  // namespace kio::connector
