#include "install/bootstrap_stream.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
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

// ---- SpoolFile

namespace {

constexpr std::string_view kSpoolPrefix = ".spool-";
// Write-back of the spool is started every this many bytes, so that the flush at
// landing finds little left to write.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;

}  // namespace

P2PResult<SpoolFile> SpoolFile::create(const fs::path& dir) {
  const fs::path base = dir.empty() ? fs::temp_directory_path() : dir;
  std::string path = (base / (std::string(kSpoolPrefix) + "XXXXXX")).string();
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) return p2p_fail(io_error(errno));
  return SpoolFile(fs::path(path), Fd(fd));
}

SpoolFile::SpoolFile(SpoolFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(std::move(other.fd_)),
      size_(other.size_),
      written_back_(other.written_back_),
      owned_(std::exchange(other.owned_, false)) {}

SpoolFile& SpoolFile::operator=(SpoolFile&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
    size_ = other.size_;
    written_back_ = other.written_back_;
    owned_ = std::exchange(other.owned_, false);
  }
  return *this;
}

SpoolFile::~SpoolFile() { remove(); }

void SpoolFile::remove() {
  if (owned_) ::unlink(path_.c_str());
  owned_ = false;
}

P2PResult<void> SpoolFile::append(std::span<const std::span<const std::uint8_t>> pieces) {
  constexpr std::size_t kMaxIov = 1024;
  std::vector<iovec> iov;
  iov.reserve(std::min(pieces.size(), kMaxIov));
  std::size_t next = 0;
  while (next < pieces.size()) {
    iov.clear();
    for (; next < pieces.size() && iov.size() < kMaxIov; ++next) {
      if (pieces[next].empty()) continue;
      iov.push_back({const_cast<std::uint8_t*>(pieces[next].data()), pieces[next].size()});
    }
    std::size_t first = 0;
    while (first < iov.size()) {
      const ssize_t n = ::writev(fd_.get(), iov.data() + first, static_cast<int>(iov.size() - first));
      if (n < 0) {
        if (errno == EINTR) continue;
        return p2p_fail(io_error(errno));
      }
      size_ += static_cast<std::uint64_t>(n);
      // Skip what was written, also within a piece cut short.
      auto done = static_cast<std::size_t>(n);
      while (first < iov.size() && done >= iov[first].iov_len) done -= iov[first++].iov_len;
      if (first < iov.size()) {
        iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + done;
        iov[first].iov_len -= done;
      }
    }
  }
  if (size_ - written_back_ >= kWriteBackStep) {
    // Only starts the write-back; failures show up at the flush.
    (void)::sync_file_range(fd_.get(), static_cast<off_t>(written_back_), static_cast<off_t>(size_ - written_back_),
                            SYNC_FILE_RANGE_WRITE);
    written_back_ = size_;
  }
  return {};
}

P2PResult<void> SpoolFile::move_to(const fs::path& destination) {
  if (::rename(path_.c_str(), destination.c_str()) != 0) return p2p_fail(io_error(errno));
  path_ = destination;
  owned_ = false;
  return {};
}

P2PResult<void> SpoolFile::flush() {
  if (auto flushed = flush_to_device(fd_.get()); !flushed) return p2p_fail(P2PError::io(flushed.error()));
  return {};
}

void SpoolFile::remove_leftovers(const fs::path& dir) {
  auto names = list_directory(dir);
  if (!names) return;
  for (const auto& name : *names) {
    if (name.starts_with(kSpoolPrefix)) ::unlink((dir / name).c_str());
  }
}

// ---- RecordDigests

RecordDigests::RecordDigests(const std::vector<FileStreamEntry>& listed) {
  for (const auto& entry : listed) {
    listed_.push_back(entry.name);
    longest_ = std::max(longest_, entry.name.size());
  }
}

void RecordDigests::finish_body() {
  if (hashing_) digests_.insert_or_assign(name_, sha_.finish_hex());
  hashing_ = false;
  field_ = Field::NameLength;
}

void RecordDigests::update(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (field_ == Field::NameLength || field_ == Field::BodyLength) {
      const std::size_t width = field_ == Field::NameLength ? 4 : 8;
      const std::size_t take = std::min(width - number_filled_, bytes.size());
      std::memcpy(number_ + number_filled_, bytes.data(), take);
      number_filled_ += take;
      bytes = bytes.subspan(take);
      if (number_filled_ < width) continue;
      number_filled_ = 0;
      if (field_ == Field::NameLength) {
        left_ = load_le<std::uint32_t>(number_);
        name_.clear();
        field_ = left_ == 0 ? Field::BodyLength : Field::Name;
      } else {
        left_ = load_le<std::uint64_t>(number_);
        // name_ holds the whole name only when it is no longer than the longest listed one.
        hashing_ = name_.size() <= longest_ && std::find(listed_.begin(), listed_.end(), name_) != listed_.end();
        field_ = Field::Body;
        if (left_ == 0) finish_body();
      }
      continue;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
    if (field_ == Field::Name) {
      // Only as much of a name as could still match a listed one is kept.
      const std::size_t room = longest_ + 1 - std::min(longest_ + 1, name_.size());
      name_.append(reinterpret_cast<const char*>(bytes.data()), std::min(take, room));
    } else if (hashing_) {
      sha_.update(bytes.first(take));
    }
    left_ -= take;
    bytes = bytes.subspan(take);
    if (left_ != 0) continue;
    if (field_ == Field::Name) {
      field_ = Field::BodyLength;
    } else {
      finish_body();
    }
  }
}

// ---- FileStreamReceiver

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push(std::uint8_t channel,
                                                                   std::span<const std::uint8_t> message) {
  if (channel == FILE_STREAM_CONTROL_CHANNEL) return push_control(message);
  if (channel == FILE_STREAM_DATA_CHANNEL) return push_chunk(p2p::FrameChunk::deserialize(message));
  return std::nullopt;
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push(std::uint8_t channel,
                                                                   std::vector<std::uint8_t>&& message) {
  if (channel == FILE_STREAM_DATA_CHANNEL) return push_chunk(p2p::FrameChunk::deserialize(std::move(message)));
  return push(channel, std::span<const std::uint8_t>(message));
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_control(std::span<const std::uint8_t> message) {
  if (auto announce = FileStreamAnnounce::from_control_payload(message)) {
    if (announce->schema != FILE_STREAM_SCHEMA) return p2p_fail(P2PError::wire_format("file stream schema mismatch"));
    finish_stream();
    expected_stream_frames_ = announce->segment_count;
    reassembler_ = new_reassembler();
    record_digests_.emplace(announce->files);
    announce_ = std::move(*announce);
    return std::nullopt;
  }
  // A registration before the announcement would be dropped by it.
  if (!announce_) return std::nullopt;
  if (auto metadata = p2p::FrameMetadata::from_control_payload(message)) reassembler_.register_frame(*metadata);
  return std::nullopt;
}

void FileStreamReceiver::finish_stream() {
  announce_.reset();
  spool_.reset();  // removes the file
  stream_sha_ = Sha256();
  record_digests_.reset();
  stream_length_ = 0;
  completed_stream_frames_ = 0;
}

p2p::FrameReassembler FileStreamReceiver::new_reassembler() const {
  return p2p::FrameReassembler(options_.max_partial_bytes,
                               options_.spool_dir.empty() ? fs::temp_directory_path() : options_.spool_dir);
}

P2PResult<void> FileStreamReceiver::keep_frame(const p2p::CompletedStreamFrame& frame) {
  if (!spool_) {
    if (before_spool_) {
      if (auto allowed = before_spool_(); !allowed) return allowed;
    }
    auto created = SpoolFile::create(options_.spool_dir);
    if (!created) return p2p_fail(std::move(created.error()));
    spool_.emplace(std::move(*created));
  }
  return frame.read([this](std::span<const std::span<const std::uint8_t>> pieces) -> P2PResult<void> {
    for (const auto& piece : pieces) {
      stream_sha_.update(piece);
      record_digests_->update(piece);
    }
    return spool_->append(pieces);
  });
}

P2PResult<std::optional<CompletedStream>> FileStreamReceiver::push_chunk(
    std::expected<p2p::FrameChunk, const char*> chunk) {
  if (!chunk) return p2p_fail(P2PError::wire_format(chunk.error()));
  // With no stream announced the chunk could only ever be discarded.
  if (!announce_) return std::nullopt;
  // Frames waiting on disk never hold more than what is left of the stream.
  reassembler_.set_spill_limit(announce_->total_bytes - stream_length_);
  auto added = reassembler_.add_chunk_parts(std::move(*chunk));
  if (!added) {
    P2PError error = std::move(added.error());
    std::string text = "stream " + announce_->blob_id + ": " + error.text();
    finish_stream();
    return p2p_fail(P2PError(error.kind(), std::move(text)));
  }
  auto& frame = *added;
  if (!frame) return std::nullopt;

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
    if (auto kept = keep_frame(*frame); !kept) {
      finish_stream();
      return p2p_fail(std::move(kept.error()));
    }
  }
  stream_length_ += frame->size();
  frame.reset();

  if (expected_stream_frames_ == 0 || completed_stream_frames_ < expected_stream_frames_) return std::nullopt;

  const std::uint64_t length = stream_length_;
  const std::string digest = stream_sha_.finish_hex();
  CompletedStream completed{std::move(*announce_), std::move(*spool_), record_digests_->digests()};
  spool_.reset();
  finish_stream();
  if (length != completed.announce.total_bytes) return p2p_fail(P2PError::wire_format("file stream size mismatch"));
  if (digest != completed.announce.sha256) return p2p_fail(P2PError::wire_format("file stream sha256 mismatch"));
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

namespace {

// The packed records, in memory or in a file.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  virtual std::uint64_t size() const = 0;
  // Exactly out.size() bytes at `offset` (within size()).
  virtual P2PResult<void> read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
  // `length` bytes at `offset` written to `fd`.
  virtual P2PResult<void> write_to(std::uint64_t offset, std::uint64_t length, int fd) = 0;
};

class MemorySource final : public RecordSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  P2PResult<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());  // empty input has no data
    return {};
  }
  P2PResult<void> write_to(std::uint64_t offset, std::uint64_t length, int fd) override {
    if (auto written = write_all(fd, bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
        !written) {
      return p2p_fail(P2PError::io(written.error()));
    }
    return {};
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

class FileSource final : public RecordSource {
 public:
  FileSource(Fd fd, std::uint64_t size) : fd_(std::move(fd)), size_(size) {}
  std::uint64_t size() const override { return size_; }
  P2PResult<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (auto got = read_exact_at(fd_.get(), offset, out); !got) return p2p_fail(P2PError::io(got.error()));
    return {};
  }
  P2PResult<void> write_to(std::uint64_t offset, std::uint64_t length, int fd) override {
    if (auto copied = copy_range(fd_.get(), offset, length, fd); !copied) return p2p_fail(P2PError::io(copied.error()));
    return {};
  }

 private:
  Fd fd_;
  std::uint64_t size_;
};

// Names longer than this are checked block by block instead of being read whole;
// no file system takes a name that long, so such a record ends in the error the
// system gives for it.
constexpr std::uint64_t kLongestNameRead = 65536;

// A long name, checked block by block: nothing when it is valid UTF-8 holding no
// "/", "\" or NUL, else the record's error. A multi-byte character cut by a block
// end is carried over to the next block.
P2PResult<void> check_long_name(RecordSource& source, std::uint64_t offset, std::uint64_t length, bool& unsafe) {
  std::vector<std::uint8_t> block(kLongestNameRead + 4);
  std::size_t carried = 0;
  while (length > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, kLongestNameRead));
    if (auto got = source.read(offset, std::span<std::uint8_t>(block.data() + carried, take)); !got) return got;
    offset += take;
    length -= take;
    std::size_t end = carried + take;
    std::size_t complete = end;
    if (length > 0) {
      // Leave an unfinished trailing character for the next block.
      for (std::size_t back = 1; back <= 3 && back <= end; ++back) {
        const std::uint8_t b = block[end - back];
        if ((b & 0xC0) == 0x80) continue;
        const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        if (need > back) complete = end - back;
        break;
      }
    }
    const std::string_view text(reinterpret_cast<const char*>(block.data()), complete);
    if (!is_valid_utf8(text)) return p2p_fail(P2PError::wire_format("file stream name is not utf8"));
    if (text.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) unsafe = true;
    carried = end - complete;
    std::memmove(block.data(), block.data() + complete, carried);
  }
  return {};
}

// Files written but not yet flushed at most; beyond, the oldest is flushed at
// once, so that memory does not grow with the number of records.
constexpr std::size_t kFlushLater = 64;

P2PResult<void> flush_path(const fs::path& path) {
  auto fd = open_file(path, O_RDONLY | O_NOFOLLOW);
  if (!fd) return p2p_fail(P2PError::io(fd.error()));
  if (auto flushed = flush_to_device(fd->get()); !flushed) return p2p_fail(P2PError::io(flushed.error()));
  return {};
}

// Unpacks every record; the paths written are appended to `written` when given.
P2PResult<void> unpack_records(RecordSource& source, const fs::path& dir, std::vector<fs::path>* written) {
  if (auto made = make_directories(dir); !made) return p2p_fail(P2PError::io(made.error()));

  std::deque<fs::path> unflushed;
  const std::uint64_t size = source.size();
  std::uint64_t offset = 0;
  std::uint8_t number[8];
  std::string name;
  while (offset < size) {
    const std::uint64_t left = size - offset;
    if (left < 4) return p2p_fail(P2PError::wire_format("truncated file stream name length"));
    if (auto got = source.read(offset, std::span<std::uint8_t>(number, 4)); !got) return p2p_fail(got.error());
    const std::uint64_t name_length = load_le<std::uint32_t>(number);
    if (left - 4 < name_length + 8) return p2p_fail(P2PError::wire_format("truncated file stream name"));
    bool unsafe = false;
    if (name_length <= kLongestNameRead) {
      name.resize(static_cast<std::size_t>(name_length));
      if (auto got = source.read(offset + 4, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(name.data()),
                                                                     name.size()));
          !got) {
        return p2p_fail(got.error());
      }
      if (!is_valid_utf8(name)) return p2p_fail(P2PError::wire_format("file stream name is not utf8"));
      unsafe = is_unsafe_name(name);
    } else if (auto checked = check_long_name(source, offset + 4, name_length, unsafe); !checked) {
      return p2p_fail(checked.error());
    }
    if (auto got = source.read(offset + 4 + name_length, std::span<std::uint8_t>(number, 8)); !got) {
      return p2p_fail(got.error());
    }
    const std::uint64_t body_length = load_le<std::uint64_t>(number);
    if (left - 4 - name_length - 8 < body_length) {
      return p2p_fail(P2PError::wire_format("truncated file stream body"));
    }
    if (unsafe) return p2p_fail(P2PError::wire_format("unsafe file stream name"));
    if (name_length > kLongestNameRead) return p2p_fail(io_error(ENAMETOOLONG));

    fs::path path = dir / fs::path(name);
    // Created or truncated, never through a link already in the directory.
    auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
    if (!fd) return p2p_fail(P2PError::io(fd.error()));
    if (auto body = source.write_to(offset + 4 + name_length + 8, body_length, fd->get()); !body) {
      return p2p_fail(body.error());
    }
    // The write-back starts now, so that it goes on while the next files are
    // written; the file is flushed later.
    (void)::sync_file_range(fd->get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    if (auto closed = fd->close(); !closed) return p2p_fail(P2PError::io(closed.error()));
    if (unflushed.size() == kFlushLater) {
      if (auto flushed = flush_path(unflushed.front()); !flushed) return flushed;
      unflushed.pop_front();
    }
    unflushed.push_back(path);
    if (written != nullptr) written->push_back(std::move(path));
    offset += 4 + name_length + 8 + body_length;
  }
  for (const auto& path : unflushed) {
    if (auto flushed = flush_path(path); !flushed) return flushed;
  }
  return {};
}

// The digest checks of materialize_stream; `known` gives a listed file's digest
// when it was computed before.
P2PResult<void> check_listed_files(const FileStreamAnnounce& announce, const fs::path& dir,
                                   const std::map<std::string, std::string>* known) {
  for (const auto& entry : announce.files) {
    // Such a name cannot have come out of the stream; following it would check
    // a file outside the directory (or, for an absolute name, anywhere).
    if (is_unsafe_name(entry.name)) return p2p_fail(P2PError::wire_format("unsafe file stream name"));
    std::string digest;
    if (const auto it = known ? known->find(entry.name) : std::map<std::string, std::string>::const_iterator();
        known && it != known->end()) {
      digest = it->second;
    } else {
      auto computed = sha256_file(dir / fs::path(entry.name));
      if (!computed) return p2p_fail(P2PError::io(computed.error()));
      digest = std::move(*computed);
    }
    if (digest != entry.sha256) return p2p_fail(P2PError::wire_format("file stream entry sha256 mismatch"));
  }
  return {};
}

P2PResult<FileSource> open_packed(const fs::path& packed) {
  auto fd = open_file(packed, O_RDONLY);
  if (!fd) return p2p_fail(P2PError::io(fd.error()));
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return p2p_fail(io_error(errno));
  return FileSource(std::move(*fd), static_cast<std::uint64_t>(st.st_size));
}

}  // namespace

P2PResult<std::vector<fs::path>> unpack_files(std::span<const std::uint8_t> stream, const fs::path& dir) {
  MemorySource source(stream);
  std::vector<fs::path> written;
  if (auto unpacked = unpack_records(source, dir, &written); !unpacked) return p2p_fail(unpacked.error());
  return written;
}

P2PResult<std::vector<fs::path>> unpack_files_from(const fs::path& packed, const fs::path& dir) {
  auto source = open_packed(packed);
  if (!source) return p2p_fail(std::move(source.error()));
  std::vector<fs::path> written;
  if (auto unpacked = unpack_records(*source, dir, &written); !unpacked) return p2p_fail(unpacked.error());
  return written;
}

P2PResult<std::vector<fs::path>> materialize_stream(const FileStreamAnnounce& announce,
                                                    std::span<const std::uint8_t> stream, const fs::path& dir) {
  auto written = unpack_files(stream, dir);
  if (!written) return written;
  if (auto checked = check_listed_files(announce, dir, nullptr); !checked) return p2p_fail(checked.error());
  return written;
}

P2PResult<void> materialize_stream(const FileStreamAnnounce& announce, const fs::path& packed,
                                   const std::map<std::string, std::string>& file_digests, const fs::path& dir) {
  auto source = open_packed(packed);
  if (!source) return p2p_fail(std::move(source.error()));
  if (auto unpacked = unpack_records(*source, dir, nullptr); !unpacked) return unpacked;
  return check_listed_files(announce, dir, &file_digests);
}

}  // namespace kio::install
