#include "tests/support/memory_file_system.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/os_error.h"

namespace fs = std::filesystem;

namespace kio {

struct MemoryFileSystem::Node {
  bool directory = false;
  mode_t mode = 0;
  ino_t inode = 0;
  nlink_t links = 0;  // names of a file; for a directory, whether it still has its name
  struct timespec modified {};
  struct timespec changed {};
  std::vector<std::uint8_t> bytes;
  std::map<std::string, std::shared_ptr<Node>> entries;
  std::uint64_t locked_by = 0;  // the description holding the advisory lock
};

struct MemoryFileSystem::Description {
  std::uint64_t id = 0;
  std::shared_ptr<Node> node;
  int flags = 0;
  std::uint64_t offset = 0;
  bool readable() const { return (flags & O_ACCMODE) != O_WRONLY; }
  bool writable() const { return (flags & O_ACCMODE) != O_RDONLY; }
};

// Where a path leads: the directory holding its last name and the entry there
// (null when absent). `name` is empty for the root and for a last component
// "." or "..", which name `node` but no entry of `parent`.
struct MemoryFileSystem::Resolved {
  std::vector<std::shared_ptr<Node>> chain;  // the directories from the root to `parent`
  std::shared_ptr<Node> parent;
  std::string name;
  std::shared_ptr<Node> node;
  bool trailing_slash = false;
};

namespace {

std::unexpected<Error> fail_with(int err) { return fail(os_error(err)); }

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

bool before(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

MemoryFileSystem::MemoryFileSystem(std::uint64_t max_file_size) : max_file_size_(max_file_size) {
  anchor_ = ::memfd_create("kio-memory-file-system", MFD_CLOEXEC);
  if (anchor_ < 0) std::abort();
  struct stat st {};
  if (::fstat(anchor_, &st) != 0) std::abort();
  anchor_device_ = st.st_dev;
  anchor_inode_ = st.st_ino;
  // A device number of its own per file system, so that stamps of two file
  // systems never match.
  device_ = static_cast<dev_t>(0x6b10000u + (st.st_ino & 0xffffu));
  umask_ = ::umask(0);
  ::umask(umask_);
  root_ = new_node(true, 0755);
  root_->links = 1;
}

MemoryFileSystem::~MemoryFileSystem() {
  if (anchor_ >= 0) ::close(anchor_);
}

struct timespec MemoryFileSystem::now() {
  struct timespec t {};
  ::clock_gettime(CLOCK_REALTIME, &t);
  // Every change moves the times forward, however close two changes come.
  if (!before(last_time_, t)) {
    t = last_time_;
    if (++t.tv_nsec == 1000000000) {
      t.tv_nsec = 0;
      ++t.tv_sec;
    }
  }
  last_time_ = t;
  return t;
}

std::shared_ptr<MemoryFileSystem::Node> MemoryFileSystem::new_node(bool directory, mode_t mode) {
  auto node = std::make_shared<Node>();
  node->directory = directory;
  node->mode = (mode & ~umask_) & 07777;
  node->inode = next_inode_++;
  node->modified = node->changed = now();
  return node;
}

Result<MemoryFileSystem::Resolved> MemoryFileSystem::resolve(const fs::path& path) const {
  const std::string& text = path.native();
  if (text.empty()) return fail_with(ENOENT);
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    if (end > start) parts.emplace_back(text, start, end - start);
    start = end + 1;
  }
  Resolved r;
  r.trailing_slash = text.back() == '/' && !parts.empty();
  r.chain.push_back(root_);
  if (parts.empty()) {  // "/"
    r.parent = root_;
    r.node = root_;
    return r;
  }
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part == ".") continue;
    if (part == "..") {
      if (r.chain.size() > 1) r.chain.pop_back();
      continue;
    }
    const auto& entries = r.chain.back()->entries;
    const auto found = entries.find(part);
    if (found == entries.end()) return fail_with(ENOENT);
    if (!found->second->directory) return fail_with(ENOTDIR);
    r.chain.push_back(found->second);
  }
  if (parts.back().size() > NAME_MAX) return fail_with(ENAMETOOLONG);
  r.parent = r.chain.back();
  const std::string& last = parts.back();
  if (last == ".") {
    r.node = r.parent;
  } else if (last == "..") {
    r.node = r.chain.size() > 1 ? r.chain[r.chain.size() - 2] : root_;
  } else {
    r.name = last;
    const auto found = r.parent->entries.find(last);
    if (found != r.parent->entries.end()) r.node = found->second;
  }
  return r;
}

Result<std::shared_ptr<MemoryFileSystem::Node>> MemoryFileSystem::existing(const fs::path& path) const {
  auto r = resolve(path);
  if (!r) return std::unexpected(std::move(r.error()));
  if (!r->node) return fail_with(ENOENT);
  if (r->trailing_slash && !r->node->directory) return fail_with(ENOTDIR);
  return r->node;
}

Result<std::shared_ptr<MemoryFileSystem::Description>> MemoryFileSystem::described(int fd) const {
  const auto found = open_.find(fd);
  if (found == open_.end()) return fail_with(EBADF);
  return found->second;
}

bool MemoryFileSystem::still_open(int fd) const {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_dev == anchor_device_ && st.st_ino == anchor_inode_;
}

void MemoryFileSystem::forget(int fd) {
  const auto found = open_.find(fd);
  if (found == open_.end()) return;
  Node& node = *found->second->node;
  if (node.locked_by == found->second->id) node.locked_by = 0;
  open_.erase(found);
}

void MemoryFileSystem::sweep() {
  std::vector<int> closed;
  for (const auto& [fd, description] : open_) {
    if (!still_open(fd)) closed.push_back(fd);
  }
  for (int fd : closed) forget(fd);
  sweep_at_ = std::max<std::size_t>(64, open_.size() * 2);
}

Result<Fd> MemoryFileSystem::open_node(const std::shared_ptr<Node>& node, int flags) {
  const int number = ::fcntl(anchor_, F_DUPFD_CLOEXEC, 0);
  if (number < 0) return fail(last_os_error());
  Fd fd(number);
  // The kernel hands a number out again only once it was closed: the
  // description that had it is gone.
  forget(number);
  auto description = std::make_shared<Description>();
  description->id = next_description_++;
  description->node = node;
  description->flags = flags;
  open_.emplace(number, std::move(description));
  if (open_.size() >= sweep_at_) sweep();
  return fd;
}

Result<Fd> MemoryFileSystem::open(const fs::path& path, int flags, mode_t mode) {
  std::lock_guard lock(mutex_);
  auto r = resolve(path);
  if (!r) return std::unexpected(std::move(r.error()));
  const int access = flags & O_ACCMODE;
  if (access == O_ACCMODE) return fail_with(EINVAL);
  std::shared_ptr<Node> node = r->node;
  if (!node) {
    if ((flags & O_CREAT) == 0) return fail_with(ENOENT);
    if (r->trailing_slash) return fail_with(EISDIR);
    if ((flags & O_DIRECTORY) != 0) return fail_with(EINVAL);
    if (r->name.size() > NAME_MAX) return fail_with(ENAMETOOLONG);
    node = new_node(false, mode);
    node->links = 1;
    r->parent->entries.emplace(r->name, node);
    r->parent->modified = r->parent->changed = node->modified;
  } else {
    if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) return fail_with(EEXIST);
    if (node->directory) {
      if ((flags & O_CREAT) != 0 || access != O_RDONLY || (flags & O_TRUNC) != 0) return fail_with(EISDIR);
    } else {
      if ((flags & O_DIRECTORY) != 0 || r->trailing_slash) return fail_with(ENOTDIR);
      if ((flags & O_TRUNC) != 0) {  // as on Linux, even when opened only for reading
        node->bytes.clear();
        node->bytes.shrink_to_fit();
        node->modified = node->changed = now();
      }
    }
  }
  return open_node(node, flags);
}

Result<std::size_t> MemoryFileSystem::write_node(Description& d, std::uint64_t offset,
                                                 std::span<const std::uint8_t> bytes, bool advance) {
  Node& node = *d.node;
  if (!d.writable()) return fail_with(EBADF);
  if (node.directory) return fail_with(EISDIR);
  if ((d.flags & O_APPEND) != 0) offset = node.bytes.size();
  if (offset > kMaxOffset) return fail_with(EINVAL);
  if (bytes.empty()) return 0;
  if (offset >= max_file_size_) return fail_with(EFBIG);
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), max_file_size_ - offset));
  if (node.bytes.size() < offset + n) node.bytes.resize(offset + n);
  std::memcpy(node.bytes.data() + offset, bytes.data(), n);
  node.modified = node.changed = now();
  if (advance) d.offset = offset + n;
  return n;
}

Result<std::size_t> MemoryFileSystem::write(int fd, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  return write_node(**d, (*d)->offset, bytes, true);
}

Result<std::size_t> MemoryFileSystem::write_gathered(int fd, std::span<const iovec> buffers) {
  std::vector<std::uint8_t> joined;
  for (const iovec& b : buffers) {
    const auto* p = static_cast<const std::uint8_t*>(b.iov_base);
    joined.insert(joined.end(), p, p + b.iov_len);
  }
  return write(fd, joined);
}

Result<std::size_t> MemoryFileSystem::write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  if (offset > kMaxOffset) return fail_with(EINVAL);
  // As on Linux, a positioned write to a file opened for appending appends.
  return write_node(**d, offset, bytes, false);
}

namespace {

std::size_t read_node(const std::vector<std::uint8_t>& bytes, std::uint64_t offset, std::span<std::uint8_t> out) {
  if (offset >= bytes.size()) return 0;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes.size() - offset));
  std::memcpy(out.data(), bytes.data() + offset, n);
  return n;
}

}  // namespace

Result<std::size_t> MemoryFileSystem::read(int fd, std::span<std::uint8_t> out) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  Description& description = **d;
  if (!description.readable()) return fail_with(EBADF);
  if (description.node->directory) return fail_with(EISDIR);
  const std::size_t n = read_node(description.node->bytes, description.offset, out);
  description.offset += n;
  return n;
}

Result<std::size_t> MemoryFileSystem::read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  if (!(*d)->readable()) return fail_with(EBADF);
  if ((*d)->node->directory) return fail_with(EISDIR);
  if (offset > kMaxOffset) return fail_with(EINVAL);
  return read_node((*d)->node->bytes, offset, out);
}

Result<std::size_t> MemoryFileSystem::copy_chunk(int in, std::uint64_t* in_offset, int out, std::size_t length) {
  std::lock_guard lock(mutex_);
  auto from = described(in);
  if (!from) return std::unexpected(std::move(from.error()));
  auto to = described(out);
  if (!to) return std::unexpected(std::move(to.error()));
  Description& source = **from;
  Description& target = **to;
  if (!source.readable() || !target.writable() || (target.flags & O_APPEND) != 0) return fail_with(EBADF);
  if (source.node->directory || target.node->directory) return fail_with(EISDIR);
  std::uint64_t& position = in_offset != nullptr ? *in_offset : source.offset;
  if (position > kMaxOffset) return fail_with(EINVAL);
  const std::vector<std::uint8_t>& bytes = source.node->bytes;
  const std::uint64_t available = position < bytes.size() ? bytes.size() - position : 0;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, available));
  if (n == 0) return 0;
  if (source.node == target.node && position < target.offset + n && target.offset < position + n) {
    return fail_with(EINVAL);  // overlapping ranges of one file
  }
  const std::vector<std::uint8_t> piece(bytes.begin() + static_cast<std::ptrdiff_t>(position),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(position + n));
  auto written = write_node(target, target.offset, piece, true);
  if (!written) return written;
  position += *written;
  return *written;
}

Result<void> MemoryFileSystem::sync(int fd) {
  std::lock_guard lock(mutex_);
  if (auto d = described(fd); !d) return std::unexpected(std::move(d.error()));
  return {};
}

Result<void> MemoryFileSystem::sync_directory(const fs::path&) { return {}; }

void MemoryFileSystem::start_write_back(int, std::uint64_t, std::uint64_t) {}

void MemoryFileSystem::release_range(int fd, std::uint64_t offset, std::uint64_t length) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d || !(*d)->writable() || (*d)->node->directory) return;
  std::vector<std::uint8_t>& bytes = (*d)->node->bytes;
  if (offset >= bytes.size()) return;
  const std::uint64_t end = std::min<std::uint64_t>(bytes.size(), length > bytes.size() - offset ? bytes.size()
                                                                                                   : offset + length);
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(end),
            std::uint8_t{0});
}

Result<void> MemoryFileSystem::truncate(int fd, std::uint64_t length) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  if (!(*d)->writable() || (*d)->node->directory || length > kMaxOffset) return fail_with(EINVAL);
  if (length > max_file_size_) return fail_with(EFBIG);
  Node& node = *(*d)->node;
  node.bytes.resize(static_cast<std::size_t>(length));
  if (length == 0) node.bytes.shrink_to_fit();
  node.modified = node.changed = now();
  return {};
}

struct stat MemoryFileSystem::stat_of(const Node& node) const {
  struct stat st {};
  st.st_dev = device_;
  st.st_ino = node.inode;
  st.st_mode = (node.directory ? S_IFDIR : S_IFREG) | node.mode;
  if (node.directory) {
    nlink_t subdirectories = 0;
    for (const auto& [name, child] : node.entries) subdirectories += child->directory ? 1 : 0;
    st.st_nlink = node.links == 0 ? 0 : 2 + subdirectories;
  } else {
    st.st_nlink = node.links;
  }
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  st.st_size = static_cast<off_t>(node.directory ? 4096 : node.bytes.size());
  st.st_blksize = 4096;
  st.st_blocks = static_cast<blkcnt_t>((static_cast<std::uint64_t>(st.st_size) + 4095) / 4096 * 8);
  st.st_mtim = node.modified;
  st.st_ctim = node.changed;
  st.st_atim = node.modified;
  return st;
}

Result<struct stat> MemoryFileSystem::status(int fd) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  return stat_of(*(*d)->node);
}

Result<struct stat> MemoryFileSystem::status(const fs::path& path, bool) {
  std::lock_guard lock(mutex_);
  auto node = existing(path);
  if (!node) return std::unexpected(std::move(node.error()));
  return stat_of(**node);
}

Result<void> MemoryFileSystem::change_mode(int fd, mode_t mode) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  (*d)->node->mode = mode & 07777;
  (*d)->node->changed = now();
  return {};
}

Result<void> MemoryFileSystem::change_mode(const fs::path& path, mode_t mode) {
  std::lock_guard lock(mutex_);
  auto node = existing(path);
  if (!node) return std::unexpected(std::move(node.error()));
  (*node)->mode = mode & 07777;
  (*node)->changed = now();
  return {};
}

Result<bool> MemoryFileSystem::try_lock(int fd) {
  std::lock_guard lock(mutex_);
  auto d = described(fd);
  if (!d) return std::unexpected(std::move(d.error()));
  Node& node = *(*d)->node;
  if (node.locked_by != 0 && node.locked_by != (*d)->id) {
    // The holder may have been closed since; only a description still open keeps its lock.
    for (const auto& [number, description] : open_) {
      if (description->id == node.locked_by) {
        if (still_open(number)) return false;
        forget(number);
        break;
      }
    }
  }
  node.locked_by = (*d)->id;
  return true;
}

void MemoryFileSystem::detach(Node& parent, const std::string& name) {
  const auto found = parent.entries.find(name);
  Node& node = *found->second;
  if (node.links > 0) --node.links;
  node.changed = now();
  parent.entries.erase(found);
  parent.modified = parent.changed = node.changed;
}

Result<void> MemoryFileSystem::rename(const fs::path& from, const fs::path& to) {
  std::lock_guard lock(mutex_);
  auto source = resolve(from);
  if (!source) return std::unexpected(std::move(source.error()));
  auto target = resolve(to);
  if (!target) return std::unexpected(std::move(target.error()));
  if (!source->node) return fail_with(ENOENT);
  if (source->name.empty() || target->name.empty()) return fail_with(source->node == root_ ? EBUSY : EINVAL);
  const std::shared_ptr<Node> moving = source->node;
  if (!moving->directory && (source->trailing_slash || target->trailing_slash)) return fail_with(ENOTDIR);
  if (target->node == moving) return {};  // the same file under both names: nothing happens
  if (moving->directory) {
    if (std::find(target->chain.begin(), target->chain.end(), moving) != target->chain.end()) {
      return fail_with(EINVAL);  // into itself
    }
    if (target->node) {
      if (!target->node->directory) return fail_with(ENOTDIR);
      if (!target->node->entries.empty()) return fail_with(ENOTEMPTY);
    }
  } else if (target->node && target->node->directory) {
    return fail_with(EISDIR);
  }
  if (target->node) {
    Node& replaced = *target->node;
    if (replaced.directory) replaced.links = 0;
    detach(*target->parent, target->name);
  }
  source->parent->entries.erase(source->name);
  target->parent->entries.emplace(target->name, moving);
  const struct timespec t = now();
  moving->changed = t;
  source->parent->modified = source->parent->changed = t;
  target->parent->modified = target->parent->changed = t;
  return {};
}

Result<void> MemoryFileSystem::exchange(const fs::path& a, const fs::path& b) {
  std::lock_guard lock(mutex_);
  auto first = resolve(a);
  if (!first) return std::unexpected(std::move(first.error()));
  auto second = resolve(b);
  if (!second) return std::unexpected(std::move(second.error()));
  if (!first->node || !second->node) return fail_with(ENOENT);
  if (first->name.empty() || second->name.empty()) return fail_with(EBUSY);
  if (first->node == second->node) return {};
  // Neither may be moved into itself.
  if (std::find(second->chain.begin(), second->chain.end(), first->node) != second->chain.end() ||
      std::find(first->chain.begin(), first->chain.end(), second->node) != first->chain.end()) {
    return fail_with(EINVAL);
  }
  std::swap(first->parent->entries[first->name], second->parent->entries[second->name]);
  const struct timespec t = now();
  first->node->changed = second->node->changed = t;
  first->parent->modified = first->parent->changed = t;
  second->parent->modified = second->parent->changed = t;
  return {};
}

Result<void> MemoryFileSystem::link(const fs::path& from, const fs::path& to) {
  std::lock_guard lock(mutex_);
  auto node = existing(from);
  if (!node) return std::unexpected(std::move(node.error()));
  auto target = resolve(to);
  if (!target) return std::unexpected(std::move(target.error()));
  if ((*node)->directory) return fail_with(EPERM);
  if (target->node || target->name.empty()) return fail_with(EEXIST);
  if (target->trailing_slash) return fail_with(ENOENT);
  target->parent->entries.emplace(target->name, *node);
  ++(*node)->links;
  const struct timespec t = now();
  (*node)->changed = t;
  target->parent->modified = target->parent->changed = t;
  return {};
}

Result<void> MemoryFileSystem::unlink(const fs::path& path) {
  std::lock_guard lock(mutex_);
  auto r = resolve(path);
  if (!r) return std::unexpected(std::move(r.error()));
  if (!r->node) return fail_with(ENOENT);
  if (r->node->directory) return fail_with(EISDIR);
  if (r->trailing_slash) return fail_with(ENOTDIR);
  detach(*r->parent, r->name);
  return {};
}

Result<void> MemoryFileSystem::remove_directory(const fs::path& path) {
  std::lock_guard lock(mutex_);
  auto r = resolve(path);
  if (!r) return std::unexpected(std::move(r.error()));
  if (!r->node) return fail_with(ENOENT);
  if (!r->node->directory) return fail_with(ENOTDIR);
  if (r->node == root_) return fail_with(EBUSY);
  if (r->name.empty()) return fail_with(path.filename() == "." ? EINVAL : ENOTEMPTY);
  if (!r->node->entries.empty()) return fail_with(ENOTEMPTY);
  r->node->links = 0;
  detach(*r->parent, r->name);
  return {};
}

Result<Fd> MemoryFileSystem::create_unique(std::string& path_template) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr std::size_t kSuffix = 6;
  if (path_template.size() < kSuffix || path_template.compare(path_template.size() - kSuffix, kSuffix, "XXXXXX") != 0) {
    return fail_with(EINVAL);
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::uint64_t value;
    {
      std::lock_guard lock(mutex_);
      value = (++unique_counter_) * 0x9e3779b97f4a7c15ull;
    }
    for (std::size_t i = 0; i < kSuffix; ++i) {
      path_template[path_template.size() - kSuffix + i] = kLetters[(value >> (8 * i)) % (sizeof kLetters - 1)];
    }
    auto fd = open(path_template, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd || !fd.error().is(std::errc::file_exists)) return fd;
  }
  path_template.replace(path_template.size() - kSuffix, kSuffix, "XXXXXX");
  return fail_with(EEXIST);
}

Result<void> MemoryFileSystem::make_directory(const fs::path& path, mode_t mode) {
  std::lock_guard lock(mutex_);
  auto r = resolve(path);
  if (!r) return std::unexpected(std::move(r.error()));
  if (r->node) return fail_with(EEXIST);
  auto node = new_node(true, mode);
  node->links = 1;
  r->parent->entries.emplace(r->name, node);
  r->parent->modified = r->parent->changed = node->modified;
  return {};
}

Result<void> MemoryFileSystem::remove_tree(const fs::path& path) {
  std::lock_guard lock(mutex_);
  auto r = resolve(path);
  if (!r) {
    // As std::filesystem::remove_all: a path that leads nowhere is already gone
    // (one that leads through a file is an error).
    if (r.error().is(std::errc::no_such_file_or_directory)) return {};
    return std::unexpected(std::move(r.error()));
  }
  if (!r->node) return {};
  if (r->trailing_slash && !r->node->directory) return fail_with(ENOTDIR);
  if (r->name.empty()) return fail_with(r->node == root_ ? EBUSY : EINVAL);
  // Every directory below loses its name with the tree; files keep any other names.
  std::vector<std::shared_ptr<Node>> pending{r->node};
  while (!pending.empty()) {
    const std::shared_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    if (!node->directory) continue;
    for (auto& [name, child] : node->entries) {
      if (child->links > 0) --child->links;
      pending.push_back(child);
    }
    node->entries.clear();
  }
  detach(*r->parent, r->name);
  return {};
}

Result<std::vector<std::string>> MemoryFileSystem::list(const fs::path& dir) {
  std::lock_guard lock(mutex_);
  auto node = existing(dir);
  if (!node) return std::unexpected(std::move(node.error()));
  if (!(*node)->directory) return fail_with(ENOTDIR);
  std::vector<std::string> names;
  names.reserve((*node)->entries.size());
  for (const auto& [name, child] : (*node)->entries) names.push_back(name);
  return names;
}

std::size_t MemoryFileSystem::descriptions() {
  std::lock_guard lock(mutex_);
  return open_.size();
}

}  // namespace kio
