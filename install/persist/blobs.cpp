#include "install/persist/blobs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "install/paths.h"
#include "install/persist/payloads.h"
#include "install/persist/private_files.h"
#include "install/persist/sealed_record.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view NOT_A_UUID7 = "blob id must be a UUIDv7";
constexpr std::string_view FEATURE_CLASS = "feature";
constexpr std::string_view BYTES_CLASS = "bytes";

// Copies a file's content into a new file (mode 0600) and flushes it.
Result<void> copy_into_new_file(const fs::path& source, const fs::path& destination) {
  auto in = open_file(source, O_RDONLY);
  if (!in) return std::unexpected(in.error());
  auto out = open_file(destination, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!out) return std::unexpected(out.error());
  if (auto copied = copy_contents(in->get(), out->get()); !copied) return copied;
  if (auto synced = flush_to_device(out->get()); !synced) return synced;
  return out->close();
}

Result<void> flush_file(const fs::path& path) {
  auto fd = open_file(path, O_RDONLY);
  if (!fd) return std::unexpected(fd.error());
  return flush_to_device(fd->get());
}

std::string_view class_of(bool feature) { return feature ? FEATURE_CLASS : BYTES_CLASS; }

// Where new bytes for a blob file wait until the log records them.
constexpr std::string_view PENDING_PREFIX = ".pending-";
fs::path pending_blob_path(const fs::path& blob, std::string_view sha256) {
  return blob.parent_path() / (std::string(PENDING_PREFIX) + blob.filename().string() + "-" + std::string(sha256));
}

}  // namespace

Result<BlobUuid> parse_blob_id(std::string_view text) {
  const auto id = parse_uuid(text);
  if (!id || uuid_version(*id) != 7) return fail(std::string(NOT_A_UUID7));
  return *id;
}

Result<fs::path> blob_path(const fs::path& persist_root, std::string_view id) {
  const fs::path relative(id);
  if (relative.is_absolute()) return fail("blob path must be relative");
  for (const auto& component : relative) {
    if (component == "..") return fail("blob path must be relative");
  }
  return install::blobs_root(persist_root) / relative;
}

std::vector<std::uint8_t> blob_file_aad(std::string_view id) {
  std::vector<std::uint8_t> aad(BLOB_KIND.begin(), BLOB_KIND.end());
  aad.push_back(0);
  aad.insert(aad.end(), id.begin(), id.end());
  return aad;
}

Result<std::string> local_file_url(const fs::path& path) {
  fs::path absolute = path;
  if (path.is_relative()) {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec) return fail(io_error(ec));
    absolute = cwd / path;
  }
  return "file://" + utf8_lossy(absolute.native());
}

Result<void> link_or_copy_file(const fs::path& source, const fs::path& destination) {
  if (auto made = detail::create_private_parent(destination); !made) return made;
  FileSystem& files = file_system();
  if (stat_path(destination)) {
    auto src = files.status(source, /*follow_links=*/true);
    if (!src) return std::unexpected(src.error());
    auto dst = files.status(destination, /*follow_links=*/true);
    // Gone in the meantime: a different file.
    if (!dst && !dst.error().is(std::errc::no_such_file_or_directory)) return std::unexpected(dst.error());
    if (dst && src->st_dev == dst->st_dev && src->st_ino == dst->st_ino) return {};
    if (auto removed = files.unlink(destination); !removed && !removed.error().is(std::errc::no_such_file_or_directory)) {
      return removed;
    }
  }
  // The link is made to the file a link-valued source names, so that the blob is
  // that file and not a second link that may not resolve from the blobs root.
  if (auto linked = files.link(source, destination); !linked) {
    if (!linked.error().is(std::errc::cross_device_link)) return linked;
    if (auto copied = copy_into_new_file(source, destination); !copied) return copied;
  }
  if (auto set = files.change_mode(destination, 0600); !set) return set;
  if (auto synced = flush_file(destination); !synced) return synced;
  return files.sync_directory(parent_directory(destination));
}

// Keeps BlobStore::latest_ current as the log verifies frames: a walk from the
// start builds the records afresh (when they are wanted or were kept), frames
// that others added update them, and an event that does not open drops them.
class BlobStore::Index final : public LogFollower {
 public:
  Index(std::optional<std::map<std::string, BlobRecord>>& latest, const EventLog& events, bool wanted)
      : latest_(latest), events_(events), wanted_(wanted) {}

  void restart() override {
    from_start_ = true;
    building_ = wanted_ || latest_.has_value();
    latest_.reset();
    fresh_.clear();
    unopened_.reset();
  }
  void resume(std::uint64_t verified) override {
    from_start_ = false;
    building_ = latest_.has_value();
    verified_ = verified;
    unopened_.reset();
  }
  void frame(const LtrFrameView& frame) override {
    if (!building_ || unopened_ || (!from_start_ && frame.sequence <= verified_)) return;
    auto event = events_.open(frame);
    if (!event) {
      unopened_ = event.error();
      return;
    }
    if (auto* record = std::get_if<BlobRecord>(&*event); record && is_listed_blob(*record)) {
      std::string id = record->blob_id;
      (from_start_ ? fresh_ : *latest_).insert_or_assign(std::move(id), std::move(*record));
    }
  }
  Result<void> caught_up() override {
    if (from_start_ && building_ && !unopened_) latest_ = std::move(fresh_);
    if (!from_start_ && unopened_) latest_.reset();
    if (wanted_ && unopened_) return fail(*unopened_);
    return {};
  }
  void forget() override { latest_.reset(); }
  bool wants_walk() const override { return wanted_ && !latest_; }

 private:
  std::optional<std::map<std::string, BlobRecord>>& latest_;
  const EventLog& events_;
  const bool wanted_;
  bool from_start_ = false;
  bool building_ = false;
  std::uint64_t verified_ = 0;
  std::map<std::string, BlobRecord> fresh_;
  std::optional<std::string> unopened_;
};

fs::path BlobStore::root() const { return install::blobs_root(persist_root_); }

Result<void> BlobStore::catch_up(const EventLog& events, bool want_records) {
  Index index(latest_, events, want_records);
  return events.log.refresh(&index);
}

Result<std::uint64_t> BlobStore::append(const EventLog& events, const LtrPayload& payload) {
  return append(events, std::span<const LtrPayload>(&payload, 1));
}

Result<std::uint64_t> BlobStore::append(const EventLog& events, std::span<const LtrPayload> payloads) {
  Index index(latest_, events, /*wanted=*/false);
  auto sequence = events.append(payloads, &index);
  if (sequence && latest_) {
    for (const LtrPayload& payload : payloads) {
      if (const auto* record = std::get_if<BlobRecord>(&payload); record && is_listed_blob(*record)) {
        latest_->insert_or_assign(record->blob_id, *record);
      }
    }
  }
  return sequence;
}

Result<BlobRecord> BlobStore::put_with_id(const EventLog& events, std::string_view id,
                                          std::span<const std::uint8_t> bytes, bool feature, bool encrypted) {
  const BlobPut put{id, bytes, feature, encrypted};
  auto records = put_all_with_id(events, std::span<const BlobPut>(&put, 1));
  if (!records) return std::unexpected(records.error());
  return std::move(records->front());
}

Result<std::vector<BlobRecord>> BlobStore::put_all_with_id(const EventLog& events, std::span<const BlobPut> puts) {
  if (auto ok = events.writable(); !ok) return std::unexpected(ok.error());
  // Every put is checked before anything is written.
  std::vector<BlobRecord> records;
  std::vector<fs::path> paths;
  records.reserve(puts.size());
  paths.reserve(puts.size());
  for (const BlobPut& put : puts) {
    if (put.bytes.empty()) return fail("blob bytes are required");
    if (auto valid = parse_blob_id(put.id); !valid) return std::unexpected(valid.error());
    auto path = blob_path(persist_root_, put.id);
    if (!path) return std::unexpected(path.error());
    auto url = local_file_url(*path);
    if (!url) return std::unexpected(url.error());
    records.push_back(BlobRecord{std::string(BLOB_KIND), std::string(put.id), std::string(class_of(put.feature)),
                                 std::move(*url), put.encrypted, sha256_hex(put.bytes)});
    paths.push_back(std::move(*path));
  }

  // The new bytes are written beside the blob file, and replace it only once the
  // log records them: after any failure or crash the file and the latest record
  // of its id agree (a crash between the two is settled at the next open). The
  // bytes of every put wait, also of one that a later put of the same file
  // replaces: a crash may keep only the first of the records written together,
  // and the file must then be able to hold that record's bytes.
  struct Pending {
    std::size_t put;
    fs::path pending;
    bool last;  // the last put of its blob file: its bytes take the file's name
  };
  std::vector<Pending> pending;
  std::vector<fs::path> directories;  // to flush once each
  for (std::size_t i = 0; i < puts.size(); ++i) {
    fs::path waiting = pending_blob_path(paths[i], records[i].sha256);
    bool written_later = false, replaced_later = false;
    for (std::size_t j = i + 1; j < puts.size(); ++j) {
      replaced_later = replaced_later || paths[j] == paths[i];
      written_later = written_later || (paths[j] == paths[i] && records[j].sha256 == records[i].sha256);
    }
    if (written_later) continue;  // the same bytes wait for a later put
    pending.push_back(Pending{i, std::move(waiting), !replaced_later});
    const fs::path directory = parent_directory(paths[i]);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
      directories.push_back(directory);
    }
  }
  FileSystem& files = file_system();
  const auto remove_pending = [&] {
    for (const Pending& p : pending) (void)files.unlink(p.pending);
  };
  const WriteOptions private_new{
      .mode = 0600, .exact_mode = true, .flush = true, .flush_new_entry = false, .follow_links = false, .exclusive = true};
  for (const Pending& p : pending) {
    const BlobPut& put = puts[p.put];
    const auto written = [&]() -> Result<void> {
      if (auto made = detail::create_private_parent(paths[p.put]); !made) return made;
      if (auto removed = files.unlink(p.pending); !removed && !removed.error().is(std::errc::no_such_file_or_directory)) {
        return removed;
      }
      if (put.encrypted) {
        auto sealed = encrypt(events.key, blob_file_aad(put.id), put.bytes);
        if (!sealed) return std::unexpected(sealed.error());
        return write_file(p.pending, detail::write_envelope(*sealed), private_new);
      }
      return write_file(p.pending, put.bytes, private_new);
    }();
    if (!written) {
      remove_pending();
      return std::unexpected(written.error());
    }
  }
  for (const fs::path& directory : directories) {
    if (auto synced = files.sync_directory(directory); !synced) {
      remove_pending();
      return std::unexpected(synced.error());
    }
  }
  std::vector<LtrPayload> payloads(records.begin(), records.end());
  if (auto appended = append(events, payloads); !appended) {
    remove_pending();
    return std::unexpected(appended.error());
  }
  // A link planted at the blob path is replaced, not written through. Bytes a
  // later put replaced go (if that fails, the next open removes them).
  for (const Pending& p : pending) {
    if (!p.last) continue;
    if (auto renamed = files.rename(p.pending, paths[p.put]); !renamed) return std::unexpected(renamed.error());
  }
  for (const Pending& p : pending) {
    if (!p.last) (void)files.unlink(p.pending);
  }
  for (const fs::path& directory : directories) {
    if (auto synced = files.sync_directory(directory); !synced) return std::unexpected(synced.error());
  }
  return records;
}

Result<void> BlobStore::settle_pending(const EventLog& events) {
  const fs::path blobs = root();
  FileSystem& files = file_system();
  auto names = files.list(blobs);
  if (!names) return std::unexpected(names.error());
  bool found = false;
  for (const auto& name : *names) found = found || name.starts_with(PENDING_PREFIX);
  if (!found) return {};
  if (auto fresh = catch_up(events, /*want_records=*/true); !fresh) return fresh;
  bool changed = false;
  for (const auto& name : *names) {
    // PENDING_PREFIX + id + "-" + the 64 hex digits of the content's digest.
    if (!name.starts_with(PENDING_PREFIX) || name.size() < PENDING_PREFIX.size() + 66) continue;
    const std::string id = name.substr(PENDING_PREFIX.size(), name.size() - PENDING_PREFIX.size() - 65);
    const std::string digest = name.substr(name.size() - 64);
    const fs::path pending = blobs / name;
    const auto known = latest_->find(id);
    if (known != latest_->end() && known->second.sha256 == digest) {
      // The log records these bytes: the crash came before the file replaced the old one.
      if (auto renamed = files.rename(pending, blobs / id); !renamed) return renamed;
    } else if (auto removed = files.unlink(pending);
               !removed && !removed.error().is(std::errc::no_such_file_or_directory)) {
      return removed;
    }
    changed = true;
  }
  if (changed) return files.sync_directory(blobs);
  return {};
}

Result<BlobRecord> BlobStore::put_from_path(const EventLog& events, std::string_view id, const fs::path& source,
                                            bool feature) {
  if (auto ok = events.writable(); !ok) return std::unexpected(ok.error());
  if (!is_regular_path(source)) return fail("blob file is missing");
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  if (auto destination = blob_path(persist_root_, id); !destination) return std::unexpected(destination.error());
  auto digest = sha256_file(source);
  if (!digest) return std::unexpected(digest.error());
  return put_from_path(events, id, source, feature, *digest);
}

Result<void> BlobStore::check_identity(const EventLog& events, std::string_view id, std::string_view sha256) {
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  if (auto destination = blob_path(persist_root_, id); !destination) return std::unexpected(destination.error());
  if (auto fresh = catch_up(events, /*want_records=*/true); !fresh) return std::unexpected(fresh.error());
  if (const auto known = latest_->find(std::string(id)); known != latest_->end() && known->second.sha256 != sha256) {
    return fail("blob bytes do not match LTR identity");
  }
  return {};
}

Result<BlobRecord> BlobStore::put_from_path(const EventLog& events, std::string_view id, const fs::path& source,
                                            bool feature, std::string_view sha256) {
  if (auto ok = events.writable(); !ok) return std::unexpected(ok.error());
  if (!is_regular_path(source)) return fail("blob file is missing");
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  auto destination = blob_path(persist_root_, id);
  if (!destination) return std::unexpected(destination.error());
  const std::string digest(sha256);

  // The latest record of every blob is kept up to date with the log
  // (blob_records), so finding this one opens no event but those added since.
  if (auto fresh = catch_up(events, /*want_records=*/true); !fresh) return std::unexpected(fresh.error());
  if (const auto known = latest_->find(std::string(id)); known != latest_->end()) {
    if (known->second.sha256 != digest) return fail("blob bytes do not match LTR identity");
    // A blob file removed, damaged or replaced behind the store's back is
    // linked again from these bytes, which the record describes.
    if (!check_file(events.key, known->second)) {
      if (auto linked = link_or_copy_file(source, *destination); !linked) return std::unexpected(linked.error());
    }
    return known->second;
  }

  if (auto made = detail::create_private_parent(*destination); !made) return std::unexpected(made.error());
  bool placed = false;
  if (is_regular_path(*destination)) {
    auto present = sha256_file(*destination);
    if (!present) return std::unexpected(present.error());
    if (*present != digest) {
      if (auto removed = file_system().unlink(*destination); !removed) return std::unexpected(removed.error());
      if (auto linked = link_or_copy_file(source, *destination); !linked) return std::unexpected(linked.error());
      placed = true;
    }
  } else if (auto linked = link_or_copy_file(source, *destination); !linked) {
    return std::unexpected(linked.error());
  } else {
    placed = true;
  }
  auto url = local_file_url(*destination);
  if (!url) return std::unexpected(url.error());
  BlobRecord record{std::string(BLOB_KIND), std::string(id), std::string(class_of(feature)),
                    std::move(*url),        false,           digest};
  if (auto appended = append(events, record); !appended) {
    // No record names the file just placed: it goes again. Unless the log,
    // read afresh, does name it after all (the failed append could not be
    // undone), or cannot be read: then the file stays, as a file no record
    // names is only overwritten by the next put of its id.
    if (placed) {
      bool named = true;  // as far as anyone can tell
      if (catch_up(events, /*want_records=*/true) && latest_) {
        const auto known = latest_->find(record.blob_id);
        named = known != latest_->end() && known->second.sha256 == digest;
      }
      if (!named) (void)file_system().unlink(*destination);
    }
    return std::unexpected(appended.error());
  }
  return record;
}

bool is_listed_blob(const BlobRecord& record) {
  return record.kind == BLOB_KIND && parse_blob_id(record.blob_id) &&
         (record.class_name == FEATURE_CLASS || record.class_name == BYTES_CLASS);
}

Result<std::vector<BlobRecord>> BlobStore::records(const EventLog& events) {
  // The latest record of each id is kept with the chain's tip, so only frames
  // added since the last call are opened.
  if (auto fresh = catch_up(events, /*want_records=*/true); !fresh) return std::unexpected(fresh.error());
  std::vector<BlobRecord> records;
  records.reserve(latest_->size());
  for (const auto& [id, record] : *latest_) records.push_back(record);  // std::string orders by unsigned bytes
  return records;
}

Result<std::string> BlobStore::content_digest(const SecretKey& key, const fs::path& path,
                                             const BlobRecord& record) const {
  const auto st = stat_path(path);
  if (!st) return fail("blob file " + path.string() + " is missing");
  if (!S_ISREG(st->st_mode)) return fail("blob file " + path.string() + " is not a regular file");
  if (record.encrypted) {
    // A sealed blob was sealed whole from bytes in memory, and opens the same way.
    auto text = read_file(path);
    if (!text) return std::unexpected(text.error());
    const auto envelope = detail::read_envelope(*text);
    if (!envelope) return fail("blob file " + path.string() + " is not a sealed blob");
    auto plaintext = decrypt(key, blob_file_aad(record.blob_id), envelope->nonce_b64, envelope->ciphertext_b64);
    if (!plaintext) return fail("blob file " + path.string() + " does not open: " + plaintext.error());
    return sha256_hex(*plaintext);
  }
  return sha256_file(path);
}

Result<void> BlobStore::check_file(const SecretKey& key, const BlobRecord& record) const {
  auto path = blob_path(persist_root_, record.blob_id);
  if (!path) return std::unexpected(path.error());
  auto digest = content_digest(key, *path, record);
  if (!digest) return std::unexpected(digest.error());
  if (*digest != record.sha256) {
    return fail("blob file " + path->string() + " holds content of sha256 " + *digest + ", recorded " + record.sha256);
  }
  return {};
}

Result<void> BlobStore::audit_file(const EventLog& events, const BlobRecord& record, std::uint64_t snapshot_frames,
                                   std::chrono::milliseconds pause) const {
  auto checked = check_file(events.key, record);
  if (checked) return checked;
  auto path = blob_path(persist_root_, record.blob_id);
  if (!path) return std::unexpected(path.error());

  // What one look at the log, the file and its pending bytes saw; a mismatch
  // is damage only once two looks in a row saw the same.
  struct Look {
    std::uint64_t frames = 0;
    std::optional<FileStamp> file, pending;
    bool operator==(const Look&) const = default;
  };
  const auto stamp = [](const fs::path& p) -> std::optional<FileStamp> {
    const auto st = stat_path(p);
    if (!st) return std::nullopt;
    return stamp_of(*st);
  };
  std::optional<Look> previous;
  BlobRecord latest = record;
  std::string mismatch;
  // A writer that keeps the file changing cannot hold the audit up for ever.
  for (int round = 0; round < 50; ++round) {
    // The file first, the log second: the writer appends a record before its
    // bytes take the blob file's name, so whatever the file held is recorded
    // by the time the log is read.
    const auto held_stamp = stamp(*path);
    auto held = content_digest(events.key, *path, latest);
    // The records of this id added since the snapshot, as the log stands now.
    std::vector<std::string> later;
    auto frames = events.visit([&](std::uint64_t sequence, LtrPayload& event) {
      const auto* added = std::get_if<BlobRecord>(&event);
      if (sequence <= snapshot_frames || added == nullptr || !is_listed_blob(*added) ||
          added->blob_id != record.blob_id) {
        return;
      }
      later.push_back(added->sha256);
      latest = *added;
    });
    // The file holds what the log now records, or bytes that a record added
    // since the snapshot names: the writer has moved on since, not the file away.
    if (held && (*held == latest.sha256 || std::find(later.begin(), later.end(), *held) != later.end())) return {};
    Look look{frames ? *frames : 0, held_stamp, std::nullopt};
    // The log records bytes that wait, whole, beside the blob file to replace
    // it: the writer is between its append and its rename.
    const fs::path pending = pending_blob_path(*path, latest.sha256);
    look.pending = stamp(pending);
    if (look.pending) {
      if (auto waiting = content_digest(events.key, pending, latest); waiting && *waiting == latest.sha256) return {};
    }
    // Or the rename came while the log was read.
    auto now = content_digest(events.key, *path, latest);
    if (now && *now == latest.sha256) return {};
    mismatch = now ? "blob file " + path->string() + " holds content of sha256 " + *now + ", recorded " + latest.sha256
                   : now.error().message();
    // Damage is what two looks in a row saw the same: no record added, the same file.
    if (frames && previous && *previous == look && stamp(*path) == held_stamp) return fail(mismatch);
    previous = look;
    std::this_thread::sleep_for(pause);
  }
  return fail(mismatch);
}

}  // namespace kio::install
