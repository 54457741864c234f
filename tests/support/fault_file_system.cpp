#include "tests/support/fault_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "common/os_error.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_print_stack_trace();
#endif

namespace fs = std::filesystem;

namespace kio::test {

const char* op_name(FsOp op) {
  switch (op) {
    case FsOp::open: return "open";
    case FsOp::write: return "write";
    case FsOp::read: return "read";
    case FsOp::sync: return "sync";
    case FsOp::sync_directory: return "sync_directory";
    case FsOp::truncate: return "truncate";
    case FsOp::status: return "status";
    case FsOp::change_mode: return "change_mode";
    case FsOp::lock: return "lock";
    case FsOp::rename: return "rename";
    case FsOp::exchange: return "exchange";
    case FsOp::link: return "link";
    case FsOp::unlink: return "unlink";
    case FsOp::remove_directory: return "remove_directory";
    case FsOp::create_unique: return "create_unique";
    case FsOp::make_directory: return "make_directory";
    case FsOp::remove_tree: return "remove_tree";
    case FsOp::list: return "list";
  }
  return "?";
}

namespace {

std::string read_whole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

FaultFileSystem::FaultFileSystem(fs::path root) : root_(fs::absolute(std::move(root)).lexically_normal()) {
  if (!root_.has_filename()) root_ = root_.parent_path();
  struct stat st {};
  if (::lstat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw std::runtime_error("no directory " + root_.string());
  by_inode_[{st.st_dev, st.st_ino}] = add_node(true, st.st_mode & 07777, {});  // node 0
  for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& path = it->path();
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;  // links and the like are not modelled
    const auto place = place_of(path);
    if (!place) continue;
    std::size_t node;
    if (const auto known = by_inode_.find({st.st_dev, st.st_ino}); known != by_inode_.end()) {
      node = known->second;  // a second name of a file
    } else {
      node = add_node(S_ISDIR(st.st_mode), st.st_mode & 07777, S_ISREG(st.st_mode) ? read_whole(path) : std::string());
      by_inode_[{st.st_dev, st.st_ino}] = node;
    }
    nodes_[place->first].entries[place->second] = node;
  }
  for (const auto& n : nodes_) initial_.push_back(n.entries);
}

std::size_t FaultFileSystem::add_node(bool directory, mode_t mode, std::string durable) {
  nodes_.push_back(Node{directory, mode, std::move(durable), {}, {}});
  return nodes_.size() - 1;
}

void FaultFileSystem::cut_at(std::size_t k) {
  const std::lock_guard lock(mutex_);
  cut_at_ = changes_ + k;
}

bool FaultFileSystem::cut_happened() const {
  const std::lock_guard lock(mutex_);
  return cut_;
}

std::size_t FaultFileSystem::changes() const {
  const std::lock_guard lock(mutex_);
  return changes_;
}

void FaultFileSystem::fail(FsOp op, std::size_t nth, int error) {
  const std::lock_guard lock(mutex_);
  fail_op_ = op;
  fail_at_ = counts_[op] + nth;
  fail_errno_ = error;
  failed_ = false;
}

bool FaultFileSystem::failed() const {
  const std::lock_guard lock(mutex_);
  return failed_;
}

std::size_t FaultFileSystem::count(FsOp op) const {
  const std::lock_guard lock(mutex_);
  const auto it = counts_.find(op);
  return it == counts_.end() ? 0 : it->second;
}

std::optional<int> FaultFileSystem::enter(FsOp op, bool changes_disk) {
  if (cut_) return EIO;
  const std::size_t nth = ++counts_[op];
  if (changes_disk) {
    ++changes_;
    if (cut_at_ != 0 && changes_ >= cut_at_) {
      cut_ = true;
      return EIO;
    }
  }
  if (fail_op_ == op && nth == fail_at_) {
    failed_ = true;
#if defined(__SANITIZE_ADDRESS__)
    // KIO_FAULT_TRACE shows where the failed operation was called from.
    if (std::getenv("KIO_FAULT_TRACE") != nullptr) __sanitizer_print_stack_trace();
#endif
    return fail_errno_;
  }
  return std::nullopt;
}

std::optional<std::pair<std::size_t, std::string>> FaultFileSystem::place_of(const fs::path& path) const {
  const fs::path full = fs::absolute(path).lexically_normal();
  const fs::path rel = full.lexically_relative(root_);
  if (rel.empty() || rel == "." || *rel.begin() == "..") return std::nullopt;
  std::size_t dir = 0;
  std::vector<std::string> parts;
  for (const auto& part : rel) {
    if (!part.empty()) parts.push_back(part.string());
  }
  if (parts.empty()) return std::nullopt;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const auto it = nodes_[dir].entries.find(parts[i]);
    if (it == nodes_[dir].entries.end() || !nodes_[it->second].directory) return std::nullopt;
    dir = it->second;
  }
  return std::pair{dir, parts.back()};
}

std::optional<std::size_t> FaultFileSystem::node_at(const fs::path& path) const {
  const fs::path full = fs::absolute(path).lexically_normal();
  const fs::path rel = full.lexically_relative(root_);
  if (rel == "." || (!rel.empty() && rel.native() == "./")) return 0;
  const auto place = place_of(path);
  if (!place) return std::nullopt;
  const auto it = nodes_[place->first].entries.find(place->second);
  if (it == nodes_[place->first].entries.end()) return std::nullopt;
  return it->second;
}

std::size_t FaultFileSystem::node_of_fd(int fd) {
  const auto it = by_fd_.find(fd);
  return it == by_fd_.end() ? SIZE_MAX : it->second;
}

void FaultFileSystem::record_write(int fd, std::uint64_t offset, std::string bytes, bool truncate) {
  const std::size_t node = node_of_fd(fd);
  if (node == SIZE_MAX) return;
  nodes_[node].pending.push_back(Write{offset, std::move(bytes), truncate});
}

void FaultFileSystem::record_change(DirChange change) {
  // A new name is durable once its directory is flushed; an exchange changes two.
  if (change.kind == DirChange::rename) {
    change.unflushed.insert(change.dir_b);
  } else if (change.kind == DirChange::exchange) {
    change.unflushed = {change.dir_a, change.dir_b};
  } else {
    change.unflushed.insert(change.dir_a);
  }
  std::vector<Entries> live;
  live.reserve(nodes_.size());
  for (auto& n : nodes_) live.push_back(std::move(n.entries));
  apply(live, change);
  for (std::size_t i = 0; i < nodes_.size(); ++i) nodes_[i].entries = std::move(live[i]);
  changes_log_.push_back(std::move(change));
}

// ---- operations

#define KIO_ENTER(op, changes)                               \
  do {                                                       \
    if (auto refused = enter(op, changes)) return kio::fail(os_error(*refused)); \
  } while (false)

Result<Fd> FaultFileSystem::open(const fs::path& path, int flags, mode_t mode) {
  const std::lock_guard lock(mutex_);
  const bool writes = (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
  KIO_ENTER(FsOp::open, writes);
  const auto place = place_of(path);
  struct stat before {};
  const bool existed = ::stat(path.c_str(), &before) == 0;
  auto fd = PosixFileSystem::open(path, flags, mode);
  if (!fd) return fd;
  by_fd_.erase(fd->get());
  struct stat st {};
  if (!place || ::fstat(fd->get(), &st) != 0) return fd;
  std::size_t node;
  if (!existed) {
    node = add_node(false, st.st_mode & 07777, {});
    by_inode_[{st.st_dev, st.st_ino}] = node;
    record_change(DirChange{DirChange::add, place->first, place->second, 0, {}, node, 0, {}});
  } else {
    const auto known = by_inode_.find({st.st_dev, st.st_ino});
    if (known == by_inode_.end()) return fd;  // made behind the model's back: not watched
    node = known->second;
    if ((flags & O_TRUNC) != 0 && S_ISREG(before.st_mode) && before.st_size > 0) {
      nodes_[node].pending.push_back(Write{0, {}, true});
    }
  }
  by_fd_[fd->get()] = node;
  return fd;
}

Result<std::size_t> FaultFileSystem::write(int fd, std::span<const std::uint8_t> bytes) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::write, true);
  std::uint64_t offset = 0;
  const int flags = ::fcntl(fd, F_GETFL);
  struct stat st {};
  if (flags >= 0 && (flags & O_APPEND) != 0 && ::fstat(fd, &st) == 0) {
    offset = static_cast<std::uint64_t>(st.st_size);
  } else {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    offset = at < 0 ? 0 : static_cast<std::uint64_t>(at);
  }
  auto n = PosixFileSystem::write(fd, bytes);
  if (n && *n > 0) record_write(fd, offset, std::string(reinterpret_cast<const char*>(bytes.data()), *n));
  return n;
}

Result<std::size_t> FaultFileSystem::write_gathered(int fd, std::span<const iovec> buffers) {
  std::string joined;
  for (const auto& b : buffers) joined.append(static_cast<const char*>(b.iov_base), b.iov_len);
  // One write of the joined bytes: the same change, mirrored the same way.
  return write(fd, std::span(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size()));
}

Result<std::size_t> FaultFileSystem::write_at(int fd, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::write, true);
  auto n = PosixFileSystem::write_at(fd, offset, bytes);
  if (n && *n > 0) record_write(fd, offset, std::string(reinterpret_cast<const char*>(bytes.data()), *n));
  return n;
}

Result<std::size_t> FaultFileSystem::read(int fd, std::span<std::uint8_t> out) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::read, false);
  return PosixFileSystem::read(fd, out);
}

Result<std::size_t> FaultFileSystem::read_at(int fd, std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::read, false);
  return PosixFileSystem::read_at(fd, offset, out);
}

Result<std::size_t> FaultFileSystem::copy_chunk(int in, std::uint64_t* in_offset, int out, std::size_t length) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::write, true);
  const off_t out_at = ::lseek(out, 0, SEEK_CUR);
  const std::uint64_t from =
      in_offset != nullptr ? *in_offset : static_cast<std::uint64_t>(std::max<off_t>(0, ::lseek(in, 0, SEEK_CUR)));
  auto n = PosixFileSystem::copy_chunk(in, in_offset, out, length);
  if (n && *n > 0) {
    std::string copied(*n, '\0');
    if (::pread(in, copied.data(), copied.size(), static_cast<off_t>(from)) == static_cast<ssize_t>(copied.size())) {
      record_write(out, static_cast<std::uint64_t>(std::max<off_t>(0, out_at)), std::move(copied));
    }
  }
  return n;
}

Result<void> FaultFileSystem::sync(int fd) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::sync, true);
  auto synced = PosixFileSystem::sync(fd);
  if (!synced) return synced;
  const std::size_t node = node_of_fd(fd);
  if (node != SIZE_MAX) {
    Node& n = nodes_[node];
    for (const auto& w : n.pending) apply_write(n.durable, w);
    n.pending.clear();
  }
  return synced;
}

Result<void> FaultFileSystem::sync_directory(const fs::path& dir) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::sync_directory, true);
  auto synced = PosixFileSystem::sync_directory(dir);
  if (!synced) return synced;
  if (const auto node = node_at(dir.empty() ? fs::path(".") : dir)) {
    for (auto& change : changes_log_) change.unflushed.erase(*node);
  }
  return synced;
}

void FaultFileSystem::start_write_back(int fd, std::uint64_t offset, std::uint64_t length) {
  const std::lock_guard lock(mutex_);
  if (cut_) return;
  PosixFileSystem::start_write_back(fd, offset, length);
}

void FaultFileSystem::release_range(int fd, std::uint64_t offset, std::uint64_t length) {
  const std::lock_guard lock(mutex_);
  if (cut_) return;
  PosixFileSystem::release_range(fd, offset, length);
}

Result<void> FaultFileSystem::truncate(int fd, std::uint64_t length) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::truncate, true);
  auto cut = PosixFileSystem::truncate(fd, length);
  if (cut) record_write(fd, length, {}, true);
  return cut;
}

Result<struct stat> FaultFileSystem::status(int fd) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::status, false);
  return PosixFileSystem::status(fd);
}

Result<struct stat> FaultFileSystem::status(const fs::path& path, bool follow_links) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::status, false);
  return PosixFileSystem::status(path, follow_links);
}

Result<void> FaultFileSystem::change_mode(int fd, mode_t mode) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::change_mode, true);
  auto changed = PosixFileSystem::change_mode(fd, mode);
  if (changed && node_of_fd(fd) != SIZE_MAX) nodes_[node_of_fd(fd)].mode = mode & 07777;
  return changed;
}

Result<void> FaultFileSystem::change_mode(const fs::path& path, mode_t mode) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::change_mode, true);
  auto changed = PosixFileSystem::change_mode(path, mode);
  if (const auto node = node_at(path); changed && node) nodes_[*node].mode = mode & 07777;
  return changed;
}

Result<bool> FaultFileSystem::try_lock(int fd) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::lock, false);
  return PosixFileSystem::try_lock(fd);
}

Result<void> FaultFileSystem::rename(const fs::path& from, const fs::path& to) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::rename, true);
  const auto a = place_of(from), b = place_of(to);
  const auto node = node_at(from);
  auto renamed = PosixFileSystem::rename(from, to);
  if (renamed && a && b && node && *a != *b) {
    record_change(DirChange{DirChange::rename, a->first, a->second, b->first, b->second, *node, 0, {}});
  }
  return renamed;
}

Result<void> FaultFileSystem::exchange(const fs::path& a, const fs::path& b) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::exchange, true);
  const auto pa = place_of(a), pb = place_of(b);
  const auto na = node_at(a), nb = node_at(b);
  auto swapped = PosixFileSystem::exchange(a, b);
  if (swapped && pa && pb && na && nb) {
    record_change(DirChange{DirChange::exchange, pa->first, pa->second, pb->first, pb->second, *na, *nb, {}});
  }
  return swapped;
}

Result<void> FaultFileSystem::link(const fs::path& from, const fs::path& to) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::link, true);
  auto linked = PosixFileSystem::link(from, to);
  const auto place = place_of(to);
  struct stat st {};
  if (linked && place && ::stat(to.c_str(), &st) == 0) {
    std::size_t node;
    if (const auto known = by_inode_.find({st.st_dev, st.st_ino}); known != by_inode_.end()) {
      node = known->second;
    } else {
      node = add_node(false, st.st_mode & 07777, read_whole(to));  // a file from outside: its bytes as they are
      by_inode_[{st.st_dev, st.st_ino}] = node;
    }
    record_change(DirChange{DirChange::add, place->first, place->second, 0, {}, node, 0, {}});
  }
  return linked;
}

// One entry removed: a file's name, an empty directory or a whole tree.
#define KIO_REMOVE(op, call)                                                                      \
  const std::lock_guard lock(mutex_);                                                             \
  KIO_ENTER(op, true);                                                                            \
  const auto place = place_of(path);                                                              \
  const auto node = node_at(path);                                                                \
  auto removed = call;                                                                            \
  if (removed && place && node) {                                                                 \
    record_change(DirChange{DirChange::remove, place->first, place->second, 0, {}, *node, 0, {}}); \
  }                                                                                               \
  return removed;

Result<void> FaultFileSystem::unlink(const fs::path& path) { KIO_REMOVE(FsOp::unlink, PosixFileSystem::unlink(path)) }

Result<void> FaultFileSystem::remove_directory(const fs::path& path) {
  KIO_REMOVE(FsOp::remove_directory, PosixFileSystem::remove_directory(path))
}

Result<void> FaultFileSystem::remove_tree(const fs::path& path) {
  KIO_REMOVE(FsOp::remove_tree, PosixFileSystem::remove_tree(path))
}

#undef KIO_REMOVE

Result<Fd> FaultFileSystem::create_unique(std::string& path_template) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::create_unique, true);
  auto fd = PosixFileSystem::create_unique(path_template);
  if (!fd) return fd;
  by_fd_.erase(fd->get());
  const auto place = place_of(path_template);
  struct stat st {};
  if (place && ::fstat(fd->get(), &st) == 0) {
    const std::size_t node = add_node(false, st.st_mode & 07777, {});
    by_inode_[{st.st_dev, st.st_ino}] = node;
    by_fd_[fd->get()] = node;
    record_change(DirChange{DirChange::add, place->first, place->second, 0, {}, node, 0, {}});
  }
  return fd;
}

Result<void> FaultFileSystem::make_directory(const fs::path& path, mode_t mode) {
  // A name that exists fails as it always would (EEXIST): no change, no fault.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) return PosixFileSystem::make_directory(path, mode);
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::make_directory, true);
  auto made = PosixFileSystem::make_directory(path, mode);
  const auto place = place_of(path);
  struct stat st {};
  if (made && place && ::stat(path.c_str(), &st) == 0) {
    const std::size_t node = add_node(true, st.st_mode & 07777, {});
    by_inode_[{st.st_dev, st.st_ino}] = node;
    record_change(DirChange{DirChange::add, place->first, place->second, 0, {}, node, 0, {}});
  }
  return made;
}

Result<std::vector<std::string>> FaultFileSystem::list(const fs::path& dir) {
  const std::lock_guard lock(mutex_);
  KIO_ENTER(FsOp::list, false);
  return PosixFileSystem::list(dir);
}

#undef KIO_ENTER

// ---- the cut

void FaultFileSystem::apply_write(std::string& content, const Write& write) {
  if (write.truncate) {
    content.resize(write.offset, '\0');
    return;
  }
  if (content.size() < write.offset + write.bytes.size()) content.resize(write.offset + write.bytes.size(), '\0');
  content.replace(write.offset, write.bytes.size(), write.bytes);
}

void FaultFileSystem::apply(std::vector<Entries>& entries, const DirChange& change) {
  const auto needed = std::max({change.dir_a, change.dir_b, change.node_a, change.node_b}) + 1;
  if (entries.size() < needed) entries.resize(needed);
  switch (change.kind) {
    case DirChange::add:
      entries[change.dir_a][change.name_a] = change.node_a;
      break;
    case DirChange::remove: {
      // Only the node it removed: a name given to another node since stays.
      const auto it = entries[change.dir_a].find(change.name_a);
      if (it != entries[change.dir_a].end() && it->second == change.node_a) entries[change.dir_a].erase(it);
      break;
    }
    case DirChange::rename: {
      const auto it = entries[change.dir_a].find(change.name_a);
      if (it != entries[change.dir_a].end() && it->second == change.node_a) entries[change.dir_a].erase(it);
      entries[change.dir_b][change.name_b] = change.node_a;
      break;
    }
    case DirChange::exchange:
      entries[change.dir_a][change.name_a] = change.node_b;
      entries[change.dir_b][change.name_b] = change.node_a;
      break;
  }
}

void FaultFileSystem::power_cut(std::uint64_t seed) {
  const std::lock_guard lock(mutex_);
  std::mt19937_64 random(seed);
  const auto keep = [&](std::uint64_t choices) -> std::uint64_t {
    if (seed == 0) return 0;
    if (seed == 1) return choices - 1;
    return random() % choices;
  };

  std::vector<Entries> entries = initial_;
  for (const auto& change : changes_log_) {
    if (change.unflushed.empty() || keep(2) == 1) apply(entries, change);
  }
  entries.resize(nodes_.size());
  std::vector<std::string> contents(nodes_.size());
  std::vector<bool> built(nodes_.size(), false);
  const auto content_of = [&](std::size_t node) -> const std::string& {
    if (!built[node]) {
      std::string content = nodes_[node].durable;
      for (const auto& w : nodes_[node].pending) {
        const std::uint64_t choice = keep(3);  // 0 dropped, 1 in part, 2 whole
        if (choice == 2 || (choice == 1 && w.truncate)) {
          apply_write(content, w);
        } else if (choice == 1 && !w.bytes.empty()) {
          Write part = w;
          part.bytes.resize(static_cast<std::size_t>(random() % w.bytes.size()));
          apply_write(content, part);
        }
      }
      contents[node] = std::move(content);
      built[node] = true;
    }
    return contents[node];
  };

  // The disk as it was left by the cut: what the root reaches, nothing else.
  for (const auto& entry : fs::directory_iterator(root_)) fs::remove_all(entry.path());
  std::map<std::size_t, fs::path> first_name;
  std::vector<std::pair<fs::path, mode_t>> modes;
  std::set<std::size_t> walking;
  const std::function<void(std::size_t, const fs::path&)> build = [&](std::size_t dir, const fs::path& at) {
    if (!walking.insert(dir).second) return;  // reached twice: an exchange undone on one side only
    for (const auto& [name, node] : entries[dir]) {
      const fs::path path = at / name;
      if (nodes_[node].directory) {
        fs::create_directory(path);
        build(node, path);
      } else if (const auto seen = first_name.find(node); seen != first_name.end()) {
        fs::create_hard_link(seen->second, path);
        continue;
      } else {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const std::string& bytes = content_of(node);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        first_name[node] = path;
      }
      modes.emplace_back(path, nodes_[node].mode);
    }
    walking.erase(dir);
  };
  build(0, root_);
  // Modes last, innermost first, so that a read-only directory could be filled first.
  for (auto it = modes.rbegin(); it != modes.rend(); ++it) {
    fs::permissions(it->first, static_cast<fs::perms>(it->second), fs::perm_options::replace);
  }
  fs::permissions(root_, static_cast<fs::perms>(nodes_[0].mode), fs::perm_options::replace);
}

}  // namespace kio::test
