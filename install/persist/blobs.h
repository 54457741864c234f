// The blob store: whole files in the blobs root beside the persist root, each
// recorded by a BlobRecord event in the LTR, which is the authority on what
// the install holds. A blob file is named by its id exactly as the caller
// wrote it; a sealed blob file holds the sealed-file record (sealed_record.h),
// sealed under the wrap key with blob_file_aad of its id.
//
// New bytes for a blob file wait beside it as pending bytes until the log
// records them, and only then take its name: after any failure or crash the
// file and the latest record of its id agree (a crash between the two is
// settled at the next open).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "common/uuid.h"
#include "install/persist/payloads.h"
#include "common/result.h"

namespace kio::install {

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

// Whether blob_records lists a record: kind "persist-blob", an id that is a
// UUIDv7 and class "feature" or "bytes". Others are passed over silently.
bool is_listed_blob(const BlobRecord& record);

// One blob file's new bytes, for a put of several (BlobStore::put_all_with_id).
struct BlobPut {
  std::string_view id;
  std::span<const std::uint8_t> bytes;
  bool feature = false;
  bool encrypted = false;
};

// The blob files of the store under `persist_root`, and the latest listed
// record of each blob id, kept current with the log once it is asked for.
// Every call is given the log's events (EventLog), where records go and come from.
class BlobStore {
 public:
  explicit BlobStore(std::filesystem::path persist_root) : persist_root_(std::move(persist_root)) {}

  std::filesystem::path root() const;  // the blobs root

  // Brings the latest records up to date with the log. With `want_records`
  // they are built when they are not yet, and an event that does not open is
  // an error.
  Result<void> catch_up(const EventLog& events, bool want_records);
  // Appends an event to the log, keeping the latest records current.
  Result<std::uint64_t> append(const EventLog& events, const LtrPayload& payload);
  // Appends events together, all of them or none (EventLog::append).
  Result<std::uint64_t> append(const EventLog& events, std::span<const LtrPayload> payloads);

  Result<BlobRecord> put_with_id(const EventLog& events, std::string_view id, std::span<const std::uint8_t> bytes,
                                 bool feature, bool encrypted);
  // Several puts made durable together, as if made one after the other: every
  // put is checked before anything is written, the new bytes of each put wait
  // beside their files and are flushed, their directories flushed once each,
  // the records appended together with one flush of the log, and only then do
  // the bytes of each file's last put take its name. A
  // failure before the records are appended leaves nothing; the records, in
  // the order of the puts.
  Result<std::vector<BlobRecord>> put_all_with_id(const EventLog& events, std::span<const BlobPut> puts);
  Result<BlobRecord> put_from_path(const EventLog& events, std::string_view id, const std::filesystem::path& source,
                                   bool feature);
  // The same for a file whose digest text is already known: the file is not read again.
  Result<BlobRecord> put_from_path(const EventLog& events, std::string_view id, const std::filesystem::path& source,
                                   bool feature, std::string_view sha256);
  // Fails as put_from_path would for content of this digest under this id
  // before it touches anything; writes nothing.
  Result<void> check_identity(const EventLog& events, std::string_view id, std::string_view sha256);
  // The latest listed record of each blob id, by id text.
  Result<std::vector<BlobRecord>> records(const EventLog& events);
  // Whether the blob file of a record holds what the record says (opened with
  // `key`, when sealed). The error text says what does not hold.
  Result<void> check_file(const SecretKey& key, const BlobRecord& record) const;
  // check_file for an audit that may run beside a writer of the store (Persist::audit_blob_file).
  Result<void> audit_file(const EventLog& events, const BlobRecord& record, std::uint64_t snapshot_frames,
                          std::chrono::milliseconds pause) const;
  // Finishes or undoes blob writes a crash cut short: new bytes the log
  // records replace the blob file, others are removed.
  Result<void> settle_pending(const EventLog& events);

 private:
  class Index;
  // The digest of the content of the file at `path` read as `record`'s blob
  // file (opened, when sealed); the error says why it has none.
  Result<std::string> content_digest(const SecretKey& key, const std::filesystem::path& path,
                                     const BlobRecord& record) const;

  std::filesystem::path persist_root_;
  // The latest listed BlobRecord of each blob id, once asked for; nothing
  // while it is not wanted, or an event did not open.
  std::optional<std::map<std::string, BlobRecord>> latest_;
};

}  // namespace kio::install
