#include "install/unpack.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "p2p/error.h"

namespace kio::install {
namespace {

namespace fs = std::filesystem;

// Bytes that are not a sound stream.
std::unexpected<Error> format_error(std::string what) {
  return fail(p2p::P2PError::wire_format(std::move(what)).display());
}
// What the system refused.
std::unexpected<Error> io_error(std::string text) { return fail(p2p::P2PError::io(std::move(text)).display()); }

// Names that would leave the directory or name something other than one file
// in it. A NUL byte would silently cut the name short at the system call.
bool is_unsafe_name(std::string_view name) {
  return name.empty() || name == ".." || name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos;
}

// Names longer than this are checked block by block instead of being read whole;
// no file system takes a name that long, so such a record ends in the error the
// system gives for it.
constexpr std::uint64_t kLongestNameRead = 65536;

// A long name, checked block by block: `unsafe` is set when it holds "/", "\" or
// NUL, and an error returned when it is not valid UTF-8. A multi-byte character
// cut by a block end is carried over to the next block.
Result<void> check_long_name(ByteSource& source, std::uint64_t offset, std::uint64_t length, bool& unsafe) {
  std::vector<std::uint8_t> block(kLongestNameRead + 4);
  std::size_t carried = 0;
  while (length > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, kLongestNameRead));
    if (auto got = source.read(offset, std::span<std::uint8_t>(block.data() + carried, take)); !got) {
      return io_error(std::move(got.error()));
    }
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
    if (!is_valid_utf8(text)) return format_error("file stream name is not utf8");
    if (text.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) unsafe = true;
    carried = end - complete;
    std::memmove(block.data(), block.data() + complete, carried);
  }
  return {};
}

// Files written but not yet flushed at most; beyond, the oldest is flushed at
// once, so that memory does not grow with the number of records.
constexpr std::size_t kFlushLater = 64;

Result<void> flush_path(const fs::path& path) {
  auto fd = open_file(path, O_RDONLY | O_NOFOLLOW);
  if (!fd) return io_error(std::move(fd.error()));
  if (auto flushed = flush_to_device(fd->get()); !flushed) return io_error(std::move(flushed.error()));
  return {};
}

// The digest checks of materialize_stream; `known` gives a listed file's digest
// when it was computed before.
Result<void> check_listed_files(const FileStreamAnnounce& announce, const fs::path& dir,
                                const std::map<std::string, std::string>& known) {
  for (const auto& entry : announce.files) {
    // Such a name cannot have come out of the stream; following it would check
    // a file outside the directory (or, for an absolute name, anywhere).
    if (is_unsafe_name(entry.name)) return format_error("unsafe file stream name");
    std::string digest;
    if (const auto it = known.find(entry.name); it != known.end()) {
      digest = it->second;
    } else {
      auto computed = sha256_file(dir / fs::path(entry.name));
      if (!computed) return io_error(std::move(computed.error()));
      digest = std::move(*computed);
    }
    if (digest != entry.sha256) return format_error("file stream entry sha256 mismatch");
  }
  return {};
}

}  // namespace

Result<void> unpack_files(ByteSource& source, const fs::path& dir) {
  if (auto made = make_directories(dir); !made) return io_error(std::move(made.error()));

  std::deque<fs::path> unflushed;
  const std::uint64_t size = source.size();
  std::uint64_t offset = 0;
  std::uint8_t number[RECORD_BODY_LENGTH_SIZE];
  const auto name_length_bytes = std::span(number).first<RECORD_NAME_LENGTH_SIZE>();
  std::string name;
  while (offset < size) {
    const std::uint64_t left = size - offset;
    if (left < RECORD_NAME_LENGTH_SIZE) return format_error("truncated file stream name length");
    if (auto got = source.read(offset, name_length_bytes); !got) return io_error(std::move(got.error()));
    const std::uint64_t name_length = decode_name_length(name_length_bytes);
    const std::uint64_t header_size = record_header_size(name_length);
    if (left < header_size) return format_error("truncated file stream name");
    bool unsafe = false;
    if (name_length <= kLongestNameRead) {
      name.resize(static_cast<std::size_t>(name_length));
      const std::span<std::uint8_t> name_bytes(reinterpret_cast<std::uint8_t*>(name.data()), name.size());
      if (auto got = source.read(offset + RECORD_NAME_LENGTH_SIZE, name_bytes); !got) {
        return io_error(std::move(got.error()));
      }
      if (!is_valid_utf8(name)) return format_error("file stream name is not utf8");
      unsafe = is_unsafe_name(name);
    } else if (auto checked = check_long_name(source, offset + RECORD_NAME_LENGTH_SIZE, name_length, unsafe);
               !checked) {
      return checked;
    }
    if (auto got = source.read(offset + header_size - RECORD_BODY_LENGTH_SIZE, number); !got) {
      return io_error(std::move(got.error()));
    }
    const std::uint64_t body_length = decode_body_length(number);
    if (left - header_size < body_length) return format_error("truncated file stream body");
    if (unsafe) return format_error("unsafe file stream name");
    if (name_length > kLongestNameRead) return io_error(os_error_text(ENAMETOOLONG));

    fs::path path = dir / fs::path(name);
    // Created or truncated, never through a link already in the directory.
    auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
    if (!fd) return io_error(std::move(fd.error()));
    if (auto body = source.write_to(offset + header_size, body_length, fd->get()); !body) {
      return io_error(std::move(body.error()));
    }
    // The write-back starts now, so that it goes on while the next files are
    // written; the file is flushed later.
    file_system().start_write_back(fd->get(), 0, 0);
    if (auto closed = fd->close(); !closed) return io_error(std::move(closed.error()));
    if (unflushed.size() == kFlushLater) {
      if (auto flushed = flush_path(unflushed.front()); !flushed) return flushed;
      unflushed.pop_front();
    }
    unflushed.push_back(std::move(path));
    offset += header_size + body_length;
  }
  for (const auto& path : unflushed) {
    if (auto flushed = flush_path(path); !flushed) return flushed;
  }
  return {};
}

Result<void> check_stream_files(const FileStreamAnnounce& announce, const fs::path& dir,
                                const std::map<std::string, std::string>& file_digests) {
  return check_listed_files(announce, dir, file_digests);
}

Result<void> materialize_stream(const FileStreamAnnounce& announce, const fs::path& packed,
                                const std::map<std::string, std::string>& file_digests, const fs::path& dir) {
  auto source = FileSource::open(packed);
  if (!source) return io_error(std::move(source.error()));
  if (auto unpacked = unpack_files(*source, dir); !unpacked) return unpacked;
  return check_listed_files(announce, dir, file_digests);
}

namespace {

// Write-back of a file being written is started every this many bytes.
constexpr std::uint64_t kWriteBackStep = std::uint64_t{8} << 20;
// Body pieces gathered into one write at most.
constexpr std::size_t kMaxGathered = 1024;

}  // namespace

StreamUnpacker::StreamUnpacker(fs::path dir) : dir_(std::move(dir)) {
  FileSystem& files = file_system();
  auto made = files.make_directory(dir_, 0777);
  if (!made && made.error().is(std::errc::file_exists)) {
    // Left by an earlier stream whose removal failed: nothing in it is of use.
    if (auto removed = files.remove_tree(dir_); removed) made = files.make_directory(dir_, 0777);
  }
  if (!made) {
    fail_with(std::move(made.error()));
    return;
  }
  owned_ = true;
}

StreamUnpacker::StreamUnpacker(StreamUnpacker&& other) noexcept
    : dir_(std::move(other.dir_)),
      owned_(std::exchange(other.owned_, false)),
      state_(other.state_),
      error_(std::move(other.error_)),
      reader_(other.reader_),
      name_(std::move(other.name_)),
      file_(std::move(other.file_)),
      body_written_(other.body_written_),
      written_back_(other.written_back_),
      pending_(std::move(other.pending_)),
      unflushed_(std::move(other.unflushed_)) {
}

StreamUnpacker& StreamUnpacker::operator=(StreamUnpacker&& other) noexcept {
  if (this != &other) {
    file_ = Fd();
    remove();
    dir_ = std::move(other.dir_);
    owned_ = std::exchange(other.owned_, false);
    state_ = other.state_;
    error_ = std::move(other.error_);
    reader_ = other.reader_;
    name_ = std::move(other.name_);
    file_ = std::move(other.file_);
    body_written_ = other.body_written_;
    written_back_ = other.written_back_;
    pending_ = std::move(other.pending_);
    unflushed_ = std::move(other.unflushed_);
  }
  return *this;
}

StreamUnpacker::~StreamUnpacker() {
  file_ = Fd();
  remove();
}

void StreamUnpacker::remove() {
  if (owned_) (void)file_system().remove_tree(dir_);
  owned_ = false;
}

void StreamUnpacker::fail_with(std::string text) {
  state_ = State::Failed;
  error_ = io_error(std::move(text)).error().message();
  file_ = Fd();
  pending_.clear();
}

void StreamUnpacker::open_body() {
  // The checks unpack_files makes of a name; it gives the refusal.
  if (!is_valid_utf8(name_) || is_unsafe_name(name_)) {
    state_ = State::Unpack;
    return;
  }
  // Created or truncated, never through a link already in the directory.
  auto fd = open_file(dir_ / fs::path(name_), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
  if (!fd) {
    // Unpacking from the stream's bytes tries again, and says why it fails.
    state_ = State::Unpack;
    return;
  }
  file_ = std::move(*fd);
  body_written_ = 0;
  written_back_ = 0;
}

void StreamUnpacker::write_body() {
  FileSystem& files = file_system();
  std::size_t first = 0;
  while (first < pending_.size()) {
    auto n = files.write_gathered(file_.get(), std::span(pending_).subspan(first));
    if (!n) return fail_with(std::move(n.error()));
    if (*n == 0) return fail_with(os_error_text(EIO));
    body_written_ += *n;
    // Skip what was written, also within a piece cut short.
    std::size_t done = *n;
    while (first < pending_.size() && done >= pending_[first].iov_len) done -= pending_[first++].iov_len;
    if (first < pending_.size()) {
      pending_[first].iov_base = static_cast<std::uint8_t*>(pending_[first].iov_base) + done;
      pending_[first].iov_len -= done;
    }
  }
  pending_.clear();
  if (body_written_ - written_back_ >= kWriteBackStep) {
    // Only starts the write-back; failures show up at the flush.
    files.start_write_back(file_.get(), written_back_, body_written_ - written_back_);
    written_back_ = body_written_;
  }
}

void StreamUnpacker::end_body() {
  write_body();
  if (state_ != State::Writing) return;
  // The write-back of the rest starts now, so that it goes on while the next
  // files are written; the file is flushed later.
  file_system().start_write_back(file_.get(), written_back_, 0);
  if (auto closed = file_.close(); !closed) return fail_with(std::move(closed.error()));
  file_ = Fd();
  if (unflushed_.size() == kFlushLater) {
    if (auto flushed = flush_path(unflushed_.front()); !flushed) {
      state_ = State::Failed;
      error_ = flushed.error().message();
      return;
    }
    unflushed_.pop_front();
  }
  unflushed_.push_back(dir_ / fs::path(name_));
}

bool StreamUnpacker::name_length(std::uint32_t length) {
  name_.clear();
  // unpack_files refuses a name this long, in its own words.
  if (length > kLongestNameRead) state_ = State::Unpack;
  return state_ == State::Writing;
}

void StreamUnpacker::name(std::span<const std::uint8_t> piece) {
  name_.append(reinterpret_cast<const char*>(piece.data()), piece.size());
}

bool StreamUnpacker::body_length(std::uint64_t) {
  open_body();
  return state_ == State::Writing;
}

bool StreamUnpacker::body(std::span<const std::uint8_t> piece, std::uint64_t left) {
  pending_.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
  // The body's last piece is written by body_end.
  if (left != 0 && pending_.size() == kMaxGathered) write_body();
  return state_ == State::Writing;
}

bool StreamUnpacker::body_end() {
  end_body();
  return state_ == State::Writing;
}

void StreamUnpacker::update(std::span<const std::span<const std::uint8_t>> pieces) {
  for (std::span<const std::uint8_t> bytes : pieces) reader_.read(bytes, *this);
  // The pieces are the caller's: what is gathered of them is written now.
  if (state_ == State::Writing && !pending_.empty()) write_body();
  if (state_ != State::Writing) {
    file_ = Fd();
    pending_.clear();
  }
}

Result<bool> StreamUnpacker::finish() {
  if (state_ == State::Failed) return fail(error_);
  // A record the stream does not complete: unpack_files says how.
  if (state_ == State::Unpack || !reader_.between_records()) return false;
  while (!unflushed_.empty()) {
    if (auto flushed = flush_path(unflushed_.front()); !flushed) return std::unexpected(flushed.error());
    unflushed_.pop_front();
  }
  return true;
}

Result<void> StreamUnpacker::move_to(const fs::path& destination) {
  if (auto renamed = file_system().rename(dir_, destination); !renamed) return renamed;
  dir_ = destination;
  owned_ = false;
  return {};
}

}  // namespace kio::install

namespace kio::install {

// What the caller and the writer thread share; it stays in place while the
// StreamFilesWriter holding it is moved.
struct StreamFilesWriter::Shared {
  Shared(fs::path dir, std::optional<SpoolFile> spool) : unpacker(std::move(dir)), spool(std::move(spool)) {}

  // The bytes to the spool, then to the files; nothing more once an append failed.
  void write(std::span<const std::uint8_t> bytes);
  void write_handed_over();

  StreamUnpacker unpacker;         // the writer thread's alone while it runs
  std::optional<SpoolFile> spool;  // likewise
  bool background = false;
  std::vector<std::uint8_t> filling;  // the caller's: copied bytes not yet handed over
  mutable std::mutex mutex;
  std::condition_variable to_writer;  // bytes handed over, or told to stop
  std::condition_variable to_caller;  // room in the hand-off
  std::deque<std::vector<std::uint8_t>> queued;
  std::vector<std::vector<std::uint8_t>> spare;  // written buffers, kept for reuse
  std::size_t queued_bytes = 0;                  // also of the buffer being written
  bool closing = false;                          // write what was handed over, then end
  bool discard = false;                          // end now
  std::optional<Error> spool_error;              // of an append, under the mutex
  std::thread thread;
};

void StreamFilesWriter::Shared::write(std::span<const std::uint8_t> bytes) {
  if (spool) {
    {
      std::lock_guard lock(mutex);
      if (spool_error) return;
    }
    if (auto appended = spool->append(std::span(&bytes, 1)); !appended) {
      std::lock_guard lock(mutex);
      spool_error = std::move(appended.error());
      return;
    }
  }
  unpacker.update(std::span(&bytes, 1));
}

void StreamFilesWriter::Shared::write_handed_over() {
  std::unique_lock lock(mutex);
  for (;;) {
    to_writer.wait(lock, [this] { return discard || closing || !queued.empty(); });
    if (discard || queued.empty()) return;
    std::vector<std::uint8_t> buffer = std::move(queued.front());
    queued.pop_front();
    lock.unlock();
    write(buffer);
    lock.lock();
    queued_bytes -= buffer.size();
    buffer.clear();
    if (spare.size() < kMaxQueuedBytes / kBufferBytes) spare.push_back(std::move(buffer));
    to_caller.notify_one();
  }
}

StreamFilesWriter::StreamFilesWriter(fs::path dir, bool in_background, std::optional<SpoolFile> spool)
    : shared_(std::make_unique<Shared>(std::move(dir), std::move(spool))) {
  if (!in_background) return;
  try {
    shared_->thread = std::thread([shared = shared_.get()] { shared->write_handed_over(); });
    shared_->background = true;
  } catch (const std::system_error&) {
    // No thread to be had: the caller writes, as it would have without one.
  }
}

StreamFilesWriter::StreamFilesWriter(StreamFilesWriter&& other) noexcept = default;

StreamFilesWriter& StreamFilesWriter::operator=(StreamFilesWriter&& other) noexcept {
  if (this != &other) {
    stop(true);
    shared_ = std::move(other.shared_);
  }
  return *this;
}

StreamFilesWriter::~StreamFilesWriter() { stop(true); }

const fs::path& StreamFilesWriter::dir() const { return shared_->unpacker.dir(); }

bool StreamFilesWriter::in_background() const { return shared_->background; }

void StreamFilesWriter::stop(bool discard) {
  if (!shared_ || !shared_->thread.joinable()) return;
  {
    std::lock_guard lock(shared_->mutex);
    (discard ? shared_->discard : shared_->closing) = true;
  }
  shared_->to_writer.notify_one();
  shared_->thread.join();
}

void StreamFilesWriter::update(std::span<const std::span<const std::uint8_t>> pieces) {
  Shared& s = *shared_;
  if (!s.thread.joinable()) {
    // Written on this thread; once stopped, nothing more is taken.
    if (!s.background) {
      for (std::span<const std::uint8_t> bytes : pieces) s.write(bytes);
    }
    return;
  }
  for (std::span<const std::uint8_t> bytes : pieces) {
    while (!bytes.empty()) {
      if (s.filling.capacity() < kBufferBytes) s.filling.reserve(kBufferBytes);
      const std::size_t take = std::min(kBufferBytes - s.filling.size(), bytes.size());
      s.filling.insert(s.filling.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
      bytes = bytes.subspan(take);
      if (s.filling.size() < kBufferBytes) break;
      // A full buffer goes to the writer, once the hand-off has room for it.
      std::unique_lock lock(s.mutex);
      s.to_caller.wait(lock, [&s] { return s.queued_bytes + s.filling.size() <= kMaxQueuedBytes; });
      s.queued_bytes += s.filling.size();
      s.queued.push_back(std::move(s.filling));
      s.filling = std::vector<std::uint8_t>();
      if (!s.spare.empty()) {
        s.filling = std::move(s.spare.back());
        s.spare.pop_back();
      }
      lock.unlock();
      s.to_writer.notify_one();
    }
  }
}

Result<void> StreamFilesWriter::spool_failure() const {
  std::lock_guard lock(shared_->mutex);
  if (shared_->spool_error) return fail(*shared_->spool_error);
  return {};
}

void StreamFilesWriter::hand_over_rest() {
  Shared& s = *shared_;
  if (!s.thread.joinable()) return;
  {
    // What is left goes too; the hand-off may pass its bound by this one buffer.
    std::lock_guard lock(s.mutex);
    if (!s.filling.empty()) {
      s.queued_bytes += s.filling.size();
      s.queued.push_back(std::move(s.filling));
    }
    s.filling = std::vector<std::uint8_t>();
  }
  stop(false);
}

Result<SpoolFile> StreamFilesWriter::take_spool() {
  hand_over_rest();
  Shared& s = *shared_;
  if (s.spool_error) return fail(*s.spool_error);
  if (!s.spool) return fail(Error(os_error_text(EBADF)));
  SpoolFile spool = std::move(*s.spool);
  s.spool.reset();
  return spool;
}

Result<bool> StreamFilesWriter::finish() {
  hand_over_rest();
  return shared_->unpacker.finish();
}

Result<void> StreamFilesWriter::move_to(const fs::path& destination) {
  stop(true);  // nothing is written into the directory once it moved
  return shared_->unpacker.move_to(destination);
}

}  // namespace kio::install
