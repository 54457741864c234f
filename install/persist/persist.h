// The install's persistence store: a private directory tree holding the sealed
// install identity, the long-term record (LTR) and the blob files.
//
// The LTR is an append-only log of events, each sealed into one frame of a
// hash chain (ltr_format.h), stored one frame a line in dated segment files
// (segments.h). The blob store keeps whole files beside it, each recorded by
// an event (blobs.h).
//
// Every write of the store is flushed to the device before it returns, and a
// newly created file or directory has its directory entry flushed as well.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "install/persist/identity.h"
#include "install/persist/ltr_format.h"
#include "install/persist/payloads.h"
#include "install/persist/segments.h"
#include "install/result.h"

namespace kio::install {

class Persist {   // movable, not copyable; wipes the wrap key when destroyed
 public:
  // Lays out the directories, renames segments of older names and reads the
  // install identity.
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

  // The LTR (ltr_reader.cpp, ltr_writer.cpp, payloads.cpp).
  Result<std::filesystem::path> today_segment_path();
  Result<std::vector<LtrFrame>> read_frames();
  Result<std::uint64_t> append_ltr_payload(const LtrPayload& payload);
  Result<std::vector<LtrPayload>> read_payloads();

  // The blob store (blobs.cpp).
  Result<BlobRecord> put_blob_with_id(std::string_view id, std::span<const std::uint8_t> bytes, bool feature,
                                      bool encrypted);
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

 private:
  Persist(std::filesystem::path root, std::string founder_id, SecretKey wrap_key)
      : root_(std::move(root)), founder_id_(std::move(founder_id)), wrap_key_(std::move(wrap_key)) {}

  std::filesystem::path root_;
  std::string founder_id_;
  SecretKey wrap_key_;
  LocalDateSource today_ = local_today;
};

}  // namespace kio::install
