// The blob store: whole files in the blobs root beside the persist root, each
// recorded by a BlobRecord event in the LTR, which is the authority on what
// the install holds. A blob file is named by its id exactly as the caller
// wrote it; a sealed blob file holds the sealed-file record (sealed_record.h),
// sealed under the wrap key with blob_file_aad of its id.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/uuid.h"
#include "install/result.h"

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

struct BlobRecord;
// Whether blob_records lists a record: kind "persist-blob", an id that is a
// UUIDv7 and class "feature" or "bytes". Others are passed over silently.
bool is_listed_blob(const BlobRecord& record);

}  // namespace kio::install
