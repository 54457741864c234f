#include "install/persist/blobs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "install/paths.h"
#include "install/persist/payloads.h"
#include "install/persist/persist.h"
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
  if (stat_path(destination)) {
    struct stat src {}, dst {};
    if (::stat(source.c_str(), &src) != 0) return fail(last_os_error_text());
    bool present = true;
    if (::stat(destination.c_str(), &dst) != 0) {
      if (errno != ENOENT) return fail(last_os_error_text());
      present = false;  // gone in the meantime: a different file
    }
    if (present && src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) return {};
    if (::unlink(destination.c_str()) != 0 && errno != ENOENT) return fail(last_os_error_text());
  }
  // The link is made to the file a link-valued source names, so that the blob is
  // that file and not a second link that may not resolve from the blobs root.
  if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    if (errno != EXDEV) return fail(last_os_error_text());
    if (auto copied = copy_into_new_file(source, destination); !copied) return copied;
  }
  if (::chmod(destination.c_str(), 0600) != 0) return fail(last_os_error_text());
  if (auto synced = flush_file(destination); !synced) return synced;
  return flush_directory(parent_directory(destination));
}

Result<BlobRecord> Persist::put_blob_with_id(std::string_view id, std::span<const std::uint8_t> bytes, bool feature,
                                             bool encrypted) {
  if (bytes.empty()) return fail("blob bytes are required");
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  auto path = blob_path(root_, id);
  if (!path) return std::unexpected(path.error());
  auto url = local_file_url(*path);
  if (!url) return std::unexpected(url.error());
  BlobRecord record{std::string(BLOB_KIND), std::string(id),  std::string(class_of(feature)),
                    std::move(*url),        encrypted,        sha256_hex(bytes)};

  if (auto made = detail::create_private_parent(*path); !made) return std::unexpected(made.error());
  if (encrypted) {
    auto sealed = encrypt(wrap_key_, blob_file_aad(id), bytes);
    if (!sealed) return std::unexpected(sealed.error());
    const std::string envelope = detail::write_envelope(*sealed);
    if (auto written = write_private(*path, as_bytes(envelope)); !written) return std::unexpected(written.error());
  } else {
    if (auto written = write_private(*path, bytes); !written) return std::unexpected(written.error());
  }
  if (auto appended = append_ltr_payload(record); !appended) return std::unexpected(appended.error());
  return record;
}

Result<BlobRecord> Persist::put_blob_from_path(std::string_view id, const fs::path& source, bool feature) {
  if (!is_regular_path(source)) return fail("blob file is missing");
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  if (auto destination = blob_path(root_, id); !destination) return std::unexpected(destination.error());
  auto digest = sha256_file(source);
  if (!digest) return std::unexpected(digest.error());
  return put_blob_from_path(id, source, feature, *digest);
}

Result<void> Persist::check_blob_identity(std::string_view id, std::string_view sha256) {
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  if (auto destination = blob_path(root_, id); !destination) return std::unexpected(destination.error());
  auto records = blob_records();
  if (!records) return std::unexpected(records.error());
  for (const BlobRecord& known : *records) {
    if (known.blob_id == id && known.sha256 != sha256) return fail("blob bytes do not match LTR identity");
  }
  return {};
}

Result<BlobRecord> Persist::put_blob_from_path(std::string_view id, const fs::path& source, bool feature,
                                               std::string_view sha256) {
  if (!is_regular_path(source)) return fail("blob file is missing");
  if (auto valid = parse_blob_id(id); !valid) return std::unexpected(valid.error());
  auto destination = blob_path(root_, id);
  if (!destination) return std::unexpected(destination.error());
  const std::string digest(sha256);

  auto records = blob_records();
  if (!records) return std::unexpected(records.error());
  for (BlobRecord& known : *records) {
    if (known.blob_id != id) continue;
    if (known.sha256 != digest) return fail("blob bytes do not match LTR identity");
    if (!is_regular_path(*destination)) {
      if (auto linked = link_or_copy_file(source, *destination); !linked) return std::unexpected(linked.error());
    }
    return std::move(known);
  }

  if (auto made = detail::create_private_parent(*destination); !made) return std::unexpected(made.error());
  if (is_regular_path(*destination)) {
    auto present = sha256_file(*destination);
    if (!present) return std::unexpected(present.error());
    if (*present != digest) {
      if (::unlink(destination->c_str()) != 0) return fail(last_os_error_text());
      if (auto linked = link_or_copy_file(source, *destination); !linked) return std::unexpected(linked.error());
    }
  } else if (auto linked = link_or_copy_file(source, *destination); !linked) {
    return std::unexpected(linked.error());
  }
  auto url = local_file_url(*destination);
  if (!url) return std::unexpected(url.error());
  BlobRecord record{std::string(BLOB_KIND), std::string(id), std::string(class_of(feature)),
                    std::move(*url),        false,           digest};
  if (auto appended = append_ltr_payload(record); !appended) return std::unexpected(appended.error());
  return record;
}

Result<std::vector<BlobRecord>> Persist::blob_records() {
  auto events = read_payloads();
  if (!events) return std::unexpected(events.error());
  std::map<std::string, BlobRecord> by_id;  // std::string orders by unsigned bytes
  for (auto& event : *events) {
    auto* record = std::get_if<BlobRecord>(&event);
    if (record == nullptr || record->kind != BLOB_KIND || !parse_blob_id(record->blob_id) ||
        (record->class_name != FEATURE_CLASS && record->class_name != BYTES_CLASS)) {
      continue;
    }
    std::string id = record->blob_id;
    by_id.insert_or_assign(std::move(id), std::move(*record));
  }
  std::vector<BlobRecord> records;
  records.reserve(by_id.size());
  for (auto& [id, record] : by_id) records.push_back(std::move(record));
  return records;
}

}  // namespace kio::install
