// The install's persistence store: a private directory tree holding the sealed
// install identity, the long-term record (LTR) and the blob files.
//
// The LTR is an append-only log of events (payloads.h), each sealed into one
// frame of a hash chain (ltr_format.h), stored one frame a line in dated
// segment files (segments.h): the log (ltr_log.h) reads them back
// (ltr_reader.h), writes them (ltr_writer.h) and keeps the chain's tip between
// appends. The blob store keeps whole files beside it, each recorded by an
// event (blobs.h). The handle holds the install's identity, its wrap key and
// the directories it opened, and hands the work to those two.
//
// Every write of the store is flushed to the device before it returns, and a
// newly created file or directory has its directory entry flushed as well.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "common/secret.h"
#include "install/persist/blobs.h"
#include "install/persist/identity.h"
#include "install/persist/ltr_format.h"
#include "install/persist/ltr_log.h"
#include "install/persist/ltr_reader.h"
#include "install/persist/payloads.h"
#include "install/persist/segments.h"
#include "common/result.h"

namespace kio::install {

class Persist {   // movable, not copyable; wipes the wrap key when destroyed
 public:
  // Lays out the directories, renames segments of older names, reads the
  // install identity and verifies the chain, keeping its tip for appends. A
  // chain that does not verify does not stop the open; it stops every append.
  static Result<Persist> open(std::filesystem::path persist_root, SecretKey wrap_key);
  // For tools that only read: reads the install identity and nothing else. No
  // directory is made, no mode changed, no segment renamed; appends and puts
  // on this handle fail.
  static Result<Persist> open_read_only(std::filesystem::path persist_root, SecretKey wrap_key);

  Persist(Persist&&) noexcept = default;
  Persist& operator=(Persist&&) noexcept = default;
  Persist(const Persist&) = delete;
  Persist& operator=(const Persist&) = delete;

  const std::filesystem::path& root() const { return root_; }  // the persist root
  std::filesystem::path blobs_root() const;
  const std::string& founder_id() const { return founder_id_; }
  bool read_only() const { return read_only_; }
  // Whether the install root, the persist root and the blobs root are still the
  // directories the store opened: none of them moved, removed or replaced. Every
  // write of the store checks this first, so that a store whose install was
  // moved away fails instead of creating a new install at the old place; the
  // connector checks it before the files it writes beside the store.
  Result<void> check_in_place() const;

  // Replaces the source of the local date (tests, tools); the default is local_today.
  void set_local_date_source(LocalDateSource source) { log_.set_local_date_source(std::move(source)); }

  // The LTR (ltr_log.h, payloads.h).
  Result<std::filesystem::path> today_segment_path();
  // The whole chain, read and verified from the segment files.
  Result<std::vector<LtrFrame>> read_frames();
  Result<std::uint64_t> append_ltr_payload(const LtrPayload& payload);
  Result<std::vector<LtrPayload>> read_payloads();
  // Reads the whole log from the segment files, hands every event to `visit` in
  // chain order as soon as its frame verified and its payload opened, and
  // returns the number of frames. Damage to the chain is reported before a
  // payload that did not open, wherever each lies; either is reported with its
  // segment and line.
  LtrResult<std::uint64_t> visit_events(const std::function<void(std::uint64_t sequence, LtrPayload&)>& visit);

  // The blob store (blobs.h).
  Result<BlobRecord> put_blob_with_id(std::string_view id, std::span<const std::uint8_t> bytes, bool feature,
                                      bool encrypted);
  // Several puts made durable together (BlobStore::put_all_with_id).
  Result<std::vector<BlobRecord>> put_blobs_with_id(std::span<const BlobPut> puts);
  Result<BlobRecord> put_blob_from_path(std::string_view id, const std::filesystem::path& source, bool feature);
  // The same for a file whose digest text is already known (computed as its
  // bytes arrived): the file is not read again.
  Result<BlobRecord> put_blob_from_path(std::string_view id, const std::filesystem::path& source, bool feature,
                                        std::string_view sha256);
  // Fails as put_blob_from_path would for content of this digest under this id
  // before it touches anything (a bad id, the LTR's own errors, an id recorded
  // with another digest); writes nothing.
  Result<void> check_blob_identity(std::string_view id, std::string_view sha256);
  Result<std::vector<BlobRecord>> blob_records();
  // Whether the blob file of a record holds what the record says: the file is
  // there and the digest of its content (opened, when sealed) is the record's.
  // Plain files are streamed. The error text says what does not hold.
  Result<void> check_blob_file(const BlobRecord& record);
  // check_blob_file for an audit that may run beside a writer of the store: the
  // audit read `record` as its id's latest in a snapshot of the log that held
  // `snapshot_frames` frames. A file that does not hold it is judged again
  // against the log as it then stands: it is sound when it holds what a record
  // added since names, or when the latest record's bytes wait whole beside it
  // as pending bytes (the writer appended and has yet to rename them into
  // place). Only a mismatch that two looks `pause` apart find unchanged (the
  // same log, the same file) is reported, against the latest record.
  Result<void> audit_blob_file(const BlobRecord& record, std::uint64_t snapshot_frames,
                               std::chrono::milliseconds pause = std::chrono::milliseconds(100));

 private:
  Persist(std::filesystem::path root, std::string founder_id, SecretKey wrap_key, bool read_only)
      : root_(root),
        founder_id_(std::move(founder_id)),
        wrap_key_(std::move(wrap_key)),
        read_only_(read_only),
        log_(root, read_only),
        blobs_(std::move(root)) {}

  // Fails on a read-only handle, and when check_in_place fails.
  Result<void> writable() const;
  // Remembers which directories the install root, persist root and blobs root are.
  Result<void> hold_directories();
  // The log's events as the blob store and the readers of events see them.
  EventLog events() {
    return EventLog{log_, wrap_key_, founder_id_, [this] { return writable(); }};
  }

  std::filesystem::path root_;
  std::string founder_id_;
  SecretKey wrap_key_;
  bool read_only_ = false;
  struct HeldDirectory {
    const char* role;
    std::filesystem::path path;
    dev_t device;
    ino_t inode;
  };
  std::vector<HeldDirectory> held_;
  LtrLog log_;
  BlobStore blobs_;
};

}  // namespace kio::install
