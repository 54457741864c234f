// The install's persistence store: a private directory tree holding the sealed
// install identity, the long-term record (LTR) and the blob files.
//
// The LTR is an append-only log of events. Each event is sealed under the wrap
// key into one frame; frames carry their position and the digest of the frame
// before them, and both are bound into the frame's associated data, so a frame
// that is altered, dropped, moved or copied from another install is detected.
// Frames are stored one per line in dated JSON-lines segment files under
// persist root/"ltr".
//
// Every write of the store is flushed to the device before it returns, and a
// newly created file or directory has its directory entry flushed as well.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/secret.h"
#include "common/uuid.h"
#include "install/result.h"

namespace kio::install {

// ---------------------------------------------------------------------------
// Constants of the on-disk formats.

inline constexpr std::string_view LTR_FRAME_SCHEMA = "kio.persist.ltr-frame.v1";
inline constexpr std::uint32_t LTR_FRAME_VERSION = 1;
// The one stream this program writes; bound into every frame's associated data.
inline constexpr std::string_view LTR_STREAM_LABEL = "third-party-secrets";
// previous_digest of the first frame.
inline constexpr std::string_view LTR_GENESIS_DIGEST =
    "0000000000000000000000000000000000000000000000000000000000000000";
// A segment that holds this many bytes or more receives no further frames.
inline constexpr std::uint64_t LTR_SEGMENT_LIMIT = 1048576;
inline constexpr std::string_view IDENTITY_ASSOCIATED_DATA = "founder-identity";
inline constexpr std::string_view BLOB_KIND = "persist-blob";

// ---------------------------------------------------------------------------
// Records.

struct BlobRecord {            // the LTR event; field order = JSON member order
  std::string kind;            // "persist-blob"
  std::string blob_id;
  std::string class_name;      // JSON member "class": "feature" or "bytes"
  std::string url;
  bool encrypted = false;
  std::string sha256;
  bool operator==(const BlobRecord&) const = default;
};

struct SecretEvent {
  std::string kind;            // "connector-noise" or "third-party-secret"
  std::string label;
  SecretText value;
  bool operator==(const SecretEvent&) const = default;
};

using LtrPayload = std::variant<BlobRecord, SecretEvent>;

struct LtrFrame {
  std::string schema;
  std::uint32_t version = 0;
  std::uint64_t sequence = 0;
  std::string previous_digest, nonce_b64, ciphertext_b64;
  bool operator==(const LtrFrame&) const = default;
};

struct InstallIdentity {
  std::string username;
  std::string founder_id;
};

// ---------------------------------------------------------------------------
// Segment names and order.

// A day of the proleptic Gregorian calendar; compares chronologically.
struct CalendarDate {
  std::int32_t year = 1970;
  std::uint8_t month = 1;
  std::uint8_t day = 1;
  auto operator<=>(const CalendarDate&) const = default;
};

// (date, counter) of a segment name; compares by date, then counter.
struct SegmentKey {
  CalendarDate date;
  std::uint32_t counter = 1;
  auto operator<=>(const SegmentKey&) const = default;
};

// "YYYY-MM-DD": three pieces of decimal digits (one leading "+" allowed, leading
// zeros allowed), a year within -9999..9999 and a day that exists.
std::optional<CalendarDate> parse_ymd(std::string_view text);
// "DATE-NNNNN.jsonl" (or ".JSONL") with a counter of exactly five characters, at least 1.
std::optional<SegmentKey> parse_ltr_jsonl_name(std::string_view name);
// "2026-01-05-00001.jsonl"; counters above 99999 get more digits.
std::string ltr_jsonl_file_name(const CalendarDate& date, std::uint32_t counter);

// Appends `path` if it is a file (links followed) named "*.jsonl", or every such
// file below it if it is a directory, in listing order. Anything else is skipped.
// A directory reached again through a link to one of its own ancestors is not
// walked a second time.
Result<void> collect_jsonl(const std::filesystem::path& path, std::vector<std::filesystem::path>& out);
// Stable sort into segment order: by segment key where both names have one,
// otherwise by path, component by component.
void sort_segments(std::vector<std::filesystem::path>& segments);

// Renames segment files of the older naming schemes below persist root/"ltr"/"current"
// to dated names and removes the day/month/year directories that it empties.
Result<void> migrate_ltr_names(const std::filesystem::path& persist_root);

// The local calendar date now (the UTC date when the local offset is unknown).
CalendarDate local_today();
using LocalDateSource = std::function<CalendarDate()>;

// The segment that receives the next frame when the local date is `today`.
// A segment directory that already holds a later-dated segment keeps receiving
// frames in that latest segment (or the next counter of its date once it is
// full), so that a clock that goes back never puts a frame before the chain's tip.
Result<std::filesystem::path> today_segment_path(const std::filesystem::path& persist_root,
                                                 const CalendarDate& today);

// ---------------------------------------------------------------------------
// Private files and error texts.

// "<description> (os error N)".
std::string io_error(const std::error_code& ec);
std::string io_error(int err);
// The JSON library's own description of a failure.
std::string json_error(const nlohmann::json::exception& e);

// Sets the directory's mode to exactly 0700.
Result<void> set_dir_private(const std::filesystem::path& dir);
// Creates the parent (0700), creates or truncates the file, sets it to 0600,
// writes all bytes and flushes them to the device. No temporary file.
Result<void> write_private(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// ---------------------------------------------------------------------------
// Layout and identity.

// Creates the store's directories with mode 0700 and moves blob files of the
// older persist root/"blobs" into the blobs root.
Result<void> ensure_layout(const std::filesystem::path& persist_root);
Result<InstallIdentity> read_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key);
// Writes persist root/"identity.json" sealed under the wrap key (installers and tests).
Result<void> write_identity(const std::filesystem::path& persist_root, const SecretKey& wrap_key,
                            const InstallIdentity& identity);

// ---------------------------------------------------------------------------
// Frames and events.

// schema, 0, founder_id, 0, label, 0, decimal sequence, 0, previous_digest.
std::vector<std::uint8_t> ltr_aad(std::string_view founder_id, std::string_view label, std::uint64_t sequence,
                                  std::string_view previous_digest);
// The frame line without its line feed: compact JSON, members in declaration
// order. Fails only for a text that is not valid UTF-8.
Result<std::string> serialize_ltr_frame(const LtrFrame& frame);
// sha256_hex of the serialised frame.
Result<std::string> frame_digest(const LtrFrame& frame);

// Compact JSON of an event, members in declaration order, in a buffer that is
// wiped when released.
Result<SecretBytes> serialize_ltr_payload(const LtrPayload& payload);
// Decodes a decrypted event; a member given twice counts with its last value.
Result<LtrPayload> decode_ltr_payload(std::span<const std::uint8_t> plaintext);

// ---------------------------------------------------------------------------
// Blobs.

using BlobUuid = Uuid;
// 32 hex digits, 8-4-4-4-12, {8-4-4-4-12} or urn:uuid:8-4-4-4-12, either case, version 7.
Result<BlobUuid> parse_blob_id(std::string_view text);
// blobs root/id; refuses an absolute id or one with a ".." component.
Result<std::filesystem::path> blob_path(const std::filesystem::path& persist_root, std::string_view id);
// "persist-blob", 0, id.
std::vector<std::uint8_t> blob_file_aad(std::string_view id);
// "file://" and the absolute path (relative paths joined to the current directory).
Result<std::string> local_file_url(const std::filesystem::path& path);
// Hard-links destination to source (copying across file systems), then sets 0600.
Result<void> link_or_copy_file(const std::filesystem::path& source, const std::filesystem::path& destination);

// ---------------------------------------------------------------------------

class Persist {   // movable, not copyable; wipes the wrap key when destroyed
 public:
  static Result<Persist> open(std::filesystem::path persist_root, SecretKey wrap_key);

  Persist(Persist&&) noexcept = default;
  Persist& operator=(Persist&&) noexcept = default;
  Persist(const Persist&) = delete;
  Persist& operator=(const Persist&) = delete;

  const std::filesystem::path& root() const { return root_; }  // the persist root
  std::filesystem::path blobs_root() const;
  const std::string& founder_id() const { return founder_id_; }

  // Replaces the source of the local date (tests, tools); the default is local_today.
  void set_local_date_source(LocalDateSource source) { today_ = std::move(source); }

  Result<std::filesystem::path> today_segment_path();
  Result<std::vector<LtrFrame>> read_frames();
  Result<std::uint64_t> append_ltr_payload(const LtrPayload& payload);
  Result<std::vector<LtrPayload>> read_payloads();

  Result<BlobRecord> put_blob_with_id(std::string_view id, std::span<const std::uint8_t> bytes, bool feature,
                                      bool encrypted);
  Result<BlobRecord> put_blob_from_path(std::string_view id, const std::filesystem::path& source, bool feature);
  Result<std::vector<BlobRecord>> blob_records();

 private:
  Persist(std::filesystem::path root, std::string founder_id, SecretKey wrap_key)
      : root_(std::move(root)), founder_id_(std::move(founder_id)), wrap_key_(std::move(wrap_key)) {}

  std::filesystem::path root_;
  std::string founder_id_;
  SecretKey wrap_key_;
  LocalDateSource today_ = local_today;
};

}  // namespace kio::install
