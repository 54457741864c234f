#include "install/bootstrap_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string_view>
#include <system_error>

#include "common/bytes.h"
#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/json.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;
using p2p::P2PError;
using p2p::p2p_fail;
using p2p::P2PResult;

std::optional<FileStreamEntry> read_entry(const json::Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto name = json::get_string(value, "name");
  auto size = json::get_u64(value, "size");
  auto sha256 = json::get_string(value, "sha256");
  if (!name || !size || !sha256) return std::nullopt;
  return FileStreamEntry{std::move(*name), *size, std::move(*sha256)};
}

// Names that would leave the directory or name something other than one file
// in it. A NUL byte would silently cut the name short at the system call.
bool is_unsafe_name(std::string_view name) {
  return name.empty() || name == ".." || name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos;
}

P2PError io_error(int err) { return P2PError::io(os_error_text(err)); }

// Creates or truncates the file, writes the body and flushes it to the device;
// never through a link already in the directory.
P2PResult<void> write_file_synced(const fs::path& path, std::span<const std::uint8_t> body) {
  if (auto written = write_file(path, body, {.flush = true, .follow_links = false}); !written) {
    return p2p_fail(P2PError::io(written.error()));
  }
  return {};
}

}  // namespace

std::optional<FileStreamAnnounce> FileStreamAnnounce::from_control_payload(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes[0] != FILE_STREAM_ANNOUNCE_MARKER) return std::nullopt;
  auto parsed = json::read_value(bytes.subspan(1), json::Duplicates::refuse);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::Json& doc = *parsed;

  FileStreamAnnounce announce;
  if (!json::get_strings(doc, {{"schema", &announce.schema},
                               {"feature_id", &announce.feature_id},
                               {"blob_id", &announce.blob_id},
                               {"blob_class", &announce.blob_class},
                               {"sha256", &announce.sha256}})) {
    return std::nullopt;
  }
  auto total_bytes = json::get_u64(doc, "total_bytes");
  auto segment_count = json::get_u32(doc, "segment_count");
  auto files = json::get_array(doc, "files");
  if (!total_bytes || !segment_count || !files) return std::nullopt;
  announce.total_bytes = *total_bytes;
  announce.segment_count = *segment_count;
  for (const auto& item : **files) {
    auto entry = read_entry(item);
    if (!entry) return std::nullopt;
    announce.files.push_back(std::move(*entry));
  }
  return announce;
}

Bytes encode_announcement(const FileStreamAnnounce& a) {
  std::string json;
  json::Writer w(json, json::Layout::compact);
  w.begin_object()
      .name("schema").string(a.schema)
      .name("feature_id").string(a.feature_id)
      .name("blob_id").string(a.blob_id)
      .name("blob_class").string(a.blob_class)
      .name("sha256").string(a.sha256)
      .name("total_bytes").number(a.total_bytes)
      .name("segment_count").number(a.segment_count)
      .name("files").begin_array();
  for (const auto& file : a.files) {
    w.begin_object().name("name").string(file.name).name("size").number(file.size).name("sha256").string(file.sha256);
    w.end_object();
  }
  w.end_array().end_object();

  Bytes out;
  out.reserve(1 + json.size());
  out.push_back(FILE_STREAM_ANNOUNCE_MARKER);
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push(std::uint8_t channel,
                                                                   std::span<const std::uint8_t> message) {
  if (channel == FILE_STREAM_CONTROL_CHANNEL) return push_control(message);
  if (channel == FILE_STREAM_DATA_CHANNEL) return push_chunk(message);
  return std::nullopt;
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_control(std::span<const std::uint8_t> message) {
  if (auto announce = FileStreamAnnounce::from_control_payload(message)) {
    if (announce->schema != FILE_STREAM_SCHEMA) return p2p_fail(P2PError::wire_format("file stream schema mismatch"));
    finish_stream();
    expected_stream_frames_ = announce->segment_count;
    reassembler_ = p2p::FrameReassembler();
    announce_ = std::move(*announce);
    return std::nullopt;
  }
  if (auto metadata = p2p::FrameMetadata::from_control_payload(message)) reassembler_.register_frame(*metadata);
  return std::nullopt;
}

void FileStreamReceiver::finish_stream() {
  announce_.reset();
  std::vector<std::uint8_t>().swap(stream_);
  stream_length_ = 0;
  completed_stream_frames_ = 0;
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_chunk(std::span<const std::uint8_t> message) {
  auto chunk = p2p::FrameChunk::deserialize(message);
  if (!chunk) return p2p_fail(P2PError::wire_format(chunk.error()));
  auto frame = reassembler_.add_chunk_parts(std::move(*chunk));
  // Stream frames that complete with no stream announced could only ever be
  // discarded by the next announcement, so they are not kept.
  if (!frame || !announce_) return std::nullopt;

  ++completed_stream_frames_;
  const std::uint64_t total_bytes = announce_->total_bytes;
  if (frame->size() > total_bytes - stream_length_) {
    // Stream frames only add bytes: the stream can no longer match its announced size.
    finish_stream();
    return p2p_fail(P2PError::wire_format("file stream size mismatch"));
  }
  // An announcement that waits for no stream frames never completes; its bytes
  // are counted for the size check but not kept.
  if (expected_stream_frames_ != 0) {
    try {
      if (stream_.capacity() == 0) {
        try {
          stream_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(total_bytes, MAX_UPFRONT_RESERVE)));
        } catch (const std::exception&) {
          // Grow with the data instead.
        }
      }
      frame->append_to(stream_);
    } catch (const std::bad_alloc&) {
      finish_stream();
      return p2p_fail(io_error(ENOMEM));
    }
  }
  stream_length_ += frame->size();
  frame.reset();

  if (expected_stream_frames_ == 0 || completed_stream_frames_ < expected_stream_frames_) return std::nullopt;

  CompletedStream completed{std::move(*announce_), std::move(stream_)};
  finish_stream();
  if (completed.bytes.size() != completed.announce.total_bytes) {
    return p2p_fail(P2PError::wire_format("file stream size mismatch"));
  }
  if (sha256_hex(completed.bytes) != completed.announce.sha256) {
    return p2p_fail(P2PError::wire_format("file stream sha256 mismatch"));
  }
  return completed;
}

Bytes pack_files(std::span<const NamedFile> files) {
  std::size_t total = 0;
  for (const auto& [name, body] : files) total += 4 + name.size() + 8 + body.size();
  Bytes out;
  out.reserve(total);
  for (const auto& [name, body] : files) {
    append_le<std::uint32_t>(out, static_cast<std::uint32_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    append_le<std::uint64_t>(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

P2PResult<std::vector<fs::path>> unpack_files(std::span<const std::uint8_t> stream, const fs::path& dir) {
  if (auto made = make_directories(dir); !made) return p2p_fail(P2PError::io(made.error()));

  std::vector<fs::path> written;
  std::size_t offset = 0;
  while (offset < stream.size()) {
    const std::uint8_t* record = stream.data() + offset;
    const std::uint64_t left = stream.size() - offset;
    if (left < 4) return p2p_fail(P2PError::wire_format("truncated file stream name length"));
    const std::uint64_t name_length = load_le<std::uint32_t>(record);
    if (left - 4 < name_length + 8) return p2p_fail(P2PError::wire_format("truncated file stream name"));
    const std::string_view name(reinterpret_cast<const char*>(record + 4), name_length);
    if (!is_valid_utf8(name)) return p2p_fail(P2PError::wire_format("file stream name is not utf8"));
    const std::uint64_t body_length = load_le<std::uint64_t>(record + 4 + name_length);
    if (left - 4 - name_length - 8 < body_length) {
      return p2p_fail(P2PError::wire_format("truncated file stream body"));
    }
    if (is_unsafe_name(name)) return p2p_fail(P2PError::wire_format("unsafe file stream name"));

    fs::path path = dir / fs::path(std::string(name));
    const std::span<const std::uint8_t> body(record + 4 + name_length + 8, body_length);
    if (auto ok = write_file_synced(path, body); !ok) return p2p_fail(ok.error());
    written.push_back(std::move(path));
    offset += 4 + name_length + 8 + body_length;
  }
  return written;
}

P2PResult<std::vector<fs::path>> materialize_stream(const FileStreamAnnounce& announce,
                                                    std::span<const std::uint8_t> stream, const fs::path& dir) {
  auto written = unpack_files(stream, dir);
  if (!written) return written;
  for (const auto& entry : announce.files) {
    // Such a name cannot have come out of the stream; following it would check
    // a file outside the directory (or, for an absolute name, anywhere).
    if (is_unsafe_name(entry.name)) return p2p_fail(P2PError::wire_format("unsafe file stream name"));
    auto digest = sha256_file(dir / fs::path(entry.name));
    if (!digest) return p2p_fail(P2PError::io(digest.error()));
    if (*digest != entry.sha256) return p2p_fail(P2PError::wire_format("file stream entry sha256 mismatch"));
  }
  return written;
}

}  // namespace kio::install
