#include "peer/stream_plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "common/os_error.h"
#include "install/crypto.h"
#include "p2p/chunking.h"

namespace kio::peer {
namespace {

namespace fs = std::filesystem;

}  // namespace

install::Result<std::vector<NamedFile>> read_directory_files(const fs::path& dir) {
  auto listed = list_regular_files(dir);
  if (!listed) return install::fail(listed.error());
  std::vector<NamedFile> files;
  for (auto& entry : *listed) {
    const fs::path path = dir / entry.name;
    std::ifstream in(path, std::ios::binary);
    if (!in) return install::fail("cannot read " + path.string());
    Bytes body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return install::fail("cannot read " + path.string());
    files.emplace_back(std::move(entry.name), std::move(body));
  }
  std::sort(files.begin(), files.end(), [](const NamedFile& a, const NamedFile& b) { return a.first < b.first; });
  return files;
}

std::vector<install::FileStreamEntry> file_entries(const std::vector<NamedFile>& files) {
  std::vector<install::FileStreamEntry> entries;
  entries.reserve(files.size());
  for (const auto& [name, body] : files) entries.push_back({name, body.size(), install::sha256_hex(body)});
  return entries;
}

// ---- PackedDirectory

install::Result<PackedDirectory> PackedDirectory::scan(const fs::path& dir, const ScanProgress& progress) {
  auto files = list_regular_files(dir);
  if (!files) return install::fail(files.error());
  std::vector<std::pair<std::string, fs::path>> found;
  std::uint64_t listed = 0;  // the files' sizes as listed, for the progress only
  for (auto& entry : *files) {
    listed += entry.size;
    found.emplace_back(entry.name, dir / entry.name);
  }
  std::sort(found.begin(), found.end());

  PackedDirectory packed;
  install::Sha256 stream_sha;
  install::Sha256 file_sha;
  std::vector<std::uint8_t> block(std::size_t{1} << 20);
  std::uint64_t read_so_far = 0;
  // One pass: the body length comes from the file's status, so that the header
  // can enter the stream digest before the body; a file whose length then
  // disagrees with what was read changed meanwhile.
  for (auto& [name, path] : found) {
    auto fd = open_file(path, O_RDONLY);
    if (!fd) return install::fail("cannot read " + path.string() + ": " + fd.error());
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return install::fail("cannot read " + path.string() + ": " + last_os_error_text());
    File file{path, packed.size_, {}, static_cast<std::uint64_t>(st.st_size)};
    append_le<std::uint32_t>(file.header, static_cast<std::uint32_t>(name.size()));
    file.header.insert(file.header.end(), name.begin(), name.end());
    append_le<std::uint64_t>(file.header, file.body_size);
    stream_sha.update(file.header);
    std::uint64_t read = 0;
    for (;;) {
      const ssize_t n = ::read(fd->get(), block.data(), block.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return install::fail("cannot read " + path.string() + ": " + last_os_error_text());
      }
      if (n == 0) break;
      const std::span<const std::uint8_t> piece(block.data(), static_cast<std::size_t>(n));
      file_sha.update(piece);
      stream_sha.update(piece);
      read += piece.size();
      read_so_far += piece.size();
      if (progress) progress(read_so_far, std::max(listed, read_so_far));
    }
    if (read != file.body_size) return install::fail(path.string() + " changed while it was read");
    packed.entries_.push_back({name, file.body_size, file_sha.finish_hex()});
    packed.size_ += file.header.size() + file.body_size;
    packed.files_.push_back(std::move(file));
  }
  packed.sha256_ = stream_sha.finish_hex();
  return packed;
}

install::Result<void> PackedDirectory::read_body(std::size_t index, std::uint64_t offset, std::span<std::uint8_t> out) {
  const File& file = files_[index];
  if (open_index_ != index) {
    auto fd = open_file(file.path, O_RDONLY);
    if (!fd) return install::fail("cannot read " + file.path.string() + ": " + fd.error());
    open_fd_ = std::move(*fd);
    open_index_ = index;
  }
  if (auto got = read_exact_at(open_fd_.get(), offset, out); !got) {
    return install::fail(file.path.string() + " changed while it was sent: " + got.error());
  }
  return {};
}

install::Result<void> PackedDirectory::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  // The last file whose record starts at or before the offset.
  auto it = std::upper_bound(files_.begin(), files_.end(), offset,
                             [](std::uint64_t value, const File& file) { return value < file.start; });
  std::size_t index = static_cast<std::size_t>(it - files_.begin()) - 1;
  std::size_t filled = 0;
  while (filled < out.size()) {
    const File& file = files_[index];
    const std::uint64_t within = offset + filled - file.start;
    if (within < file.header.size()) {
      const std::size_t take = std::min<std::size_t>(out.size() - filled, file.header.size() - within);
      std::memcpy(out.data() + filled, file.header.data() + within, take);
      filled += take;
    } else if (within < file.header.size() + file.body_size) {
      const std::uint64_t body_offset = within - file.header.size();
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - filled, file.body_size - body_offset));
      if (auto got = read_body(index, body_offset, out.subspan(filled, take)); !got) return got;
      filled += take;
    } else {
      ++index;
    }
  }
  return {};
}

// ---- StreamPlan

namespace {

class MemorySource final : public StreamSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  install::Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());  // an empty stream has no data
    return {};
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace

install::Result<StreamPlan> StreamPlan::plan(const StreamDescription& description, std::uint64_t size,
                                             std::string sha256, std::size_t stream_frame_size) {
  if (stream_frame_size == 0 || stream_frame_size > p2p::MAX_STREAM_FRAME_SIZE) {
    return install::fail("frame size out of range");
  }
  const std::uint64_t frames = size == 0 ? 1 : (size - 1) / stream_frame_size + 1;
  if (frames > UINT32_MAX) return install::fail("stream needs too many frames");

  StreamPlan plan;
  plan.announce_.schema = install::FILE_STREAM_SCHEMA;
  plan.announce_.feature_id = description.feature_id;
  plan.announce_.blob_id = description.blob_id;
  plan.announce_.blob_class = description.blob_class;
  plan.announce_.sha256 = std::move(sha256);
  plan.announce_.total_bytes = size;
  plan.announce_.segment_count = static_cast<std::uint32_t>(frames);
  plan.announce_.files = description.files;
  plan.stream_frame_size_ = stream_frame_size;
  return plan;
}

install::Result<StreamPlan> StreamPlan::create(const StreamDescription& description,
                                               std::span<const std::uint8_t> stream, std::size_t stream_frame_size) {
  auto made = plan(description, stream.size(), install::sha256_hex(stream), stream_frame_size);
  if (!made) return made;
  made->own_source_ = std::make_unique<MemorySource>(stream);
  made->source_ = made->own_source_.get();
  return made;
}

install::Result<StreamPlan> StreamPlan::create(const StreamDescription& description, StreamSource& source,
                                               std::string sha256, std::size_t stream_frame_size) {
  auto made = plan(description, source.size(), std::move(sha256), stream_frame_size);
  if (!made) return made;
  made->source_ = &source;
  return made;
}

std::size_t StreamPlan::frame_length(std::uint64_t frame) const {
  const std::uint64_t start = frame * stream_frame_size_;
  return static_cast<std::size_t>(std::min<std::uint64_t>(stream_frame_size_, announce_.total_bytes - start));
}

std::uint16_t StreamPlan::chunk_count(std::uint64_t frame) const {
  const std::size_t length = frame_length(frame);
  return static_cast<std::uint16_t>(length == 0 ? 1 : (length - 1) / p2p::MAX_CHUNK_SIZE + 1);
}

std::uint64_t StreamPlan::message_count() const {
  std::uint64_t count = 1;
  for (std::uint64_t f = 0; f < announce_.segment_count; ++f) count += 1 + chunk_count(f);
  return count;
}

std::optional<OutgoingMessage> StreamPlan::next() {
  if (!announced_) {
    announced_ = true;
    return OutgoingMessage{install::FILE_STREAM_CONTROL_CHANNEL, install::encode_announcement(announce_)};
  }
  if (error_ || frame_ >= announce_.segment_count) return std::nullopt;
  const std::uint16_t chunks = chunk_count(frame_);
  if (!registered_) {
    frame_bytes_.resize(frame_length(frame_));
    if (auto read = source_->read(frame_ * stream_frame_size_, frame_bytes_); !read) {
      error_ = read.error();
      return std::nullopt;
    }
    registered_ = true;
    return OutgoingMessage{install::FILE_STREAM_CONTROL_CHANNEL,
                           p2p::encode_registration(frame_, chunks, static_cast<std::uint32_t>(frame_bytes_.size()))};
  }
  const std::size_t offset = std::size_t{chunk_} * p2p::MAX_CHUNK_SIZE;
  const std::size_t length = std::min(p2p::MAX_CHUNK_SIZE, frame_bytes_.size() - offset);
  produced_ += length;
  OutgoingMessage message{install::FILE_STREAM_DATA_CHANNEL,
                          p2p::encode_chunk(frame_, static_cast<std::uint16_t>(chunk_), chunks,
                                            std::span<const std::uint8_t>(frame_bytes_).subspan(offset, length))};
  if (++chunk_ == chunks) {
    ++frame_;
    chunk_ = 0;
    registered_ = false;
  }
  return message;
}

install::Result<std::vector<OutgoingMessage>> plan_stream(const StreamDescription& description,
                                                          std::span<const std::uint8_t> stream,
                                                          std::size_t stream_frame_size) {
  auto plan = StreamPlan::create(description, stream, stream_frame_size);
  if (!plan) return std::unexpected(plan.error());
  std::vector<OutgoingMessage> messages;
  while (auto message = plan->next()) messages.push_back(std::move(*message));
  return messages;
}

}  // namespace kio::peer
