// Helpers shared by the parts of the persist module; not used outside it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret.h"
#include "install/crypto.h"
#include "install/persist.h"
#include "install/result.h"

namespace kio::install::detail {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Files and directories.

// Creates the directory and its missing ancestors (mode 0777 less the umask); an
// existing directory is fine. Each directory created has its entry flushed to the
// device through its parent.
Result<void> create_dir_all(const fs::path& dir);
// create_dir_all, then mode 0700 on the directory itself.
Result<void> create_private_dir(const fs::path& dir);
// Flushes a directory (its entries) to the device.
Result<void> sync_dir(const fs::path& dir);
// fsync of an open descriptor (F_FULLFSYNC on macOS).
Result<void> sync_fd(int fd);
// Writes every byte, retrying short and interrupted writes.
Result<void> write_all(int fd, std::string_view bytes);
// The whole file. `utf8` refuses content that is not valid UTF-8.
Result<std::string> read_whole_file(const fs::path& path, bool utf8);
// The same into a buffer that the caller reuses.
Result<void> read_whole_file(const fs::path& path, bool utf8, std::string& content);
// stat/lstat results; nullopt when the path cannot be examined.
std::optional<struct stat> stat_follow(const fs::path& path);
bool is_plain_file(const fs::path& path);
bool is_dir(const fs::path& path);
// Paths compared component by component, each component byte by byte.
int compare_paths(const fs::path& a, const fs::path& b);
bool same_path(const fs::path& a, const fs::path& b);
// Entry names of a directory in listing order, without "." and "..".
Result<std::vector<std::string>> list_names(const fs::path& dir);
struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;
inline bool is_dot_entry(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}
// Valid UTF-8, with a quick pass over ASCII.
bool valid_utf8(std::string_view text);

inline constexpr std::string_view INVALID_UTF8_STREAM = "stream did not contain valid UTF-8";

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  ~Fd();
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, reporting the error a close can carry (a failed deferred write).
  Result<void> close();

 private:
  int fd_;
};

// ---------------------------------------------------------------------------
// Reading JSON records.
//
// One reader serves every record the store reads: it validates a whole document
// (RFC 8259: no comments, no trailing commas, strings of valid UTF-8 without raw
// control characters, paired surrogate escapes), walks it without recursion and
// hands back the members of a top-level object. Decoded texts live in buffers
// that are wiped when released, since plaintexts of sealed records pass through it.

using WipedString = SecretText::String;

enum class JsonType : std::uint8_t { null, boolean, unsigned_number, other_number, string, array, object };

struct JsonMember {
  WipedString name;
  JsonType type = JsonType::null;
  bool boolean = false;
  std::uint64_t number = 0;  // for unsigned_number (an integer from 0 to 2^64-1; "-0" is 0)
  WipedString text;          // for string
};

struct JsonDocument {
  JsonType type = JsonType::null;   // of the whole document
  std::vector<JsonMember> members;  // of a top-level object, in document order
  // The last member of that name, or nullptr.
  const JsonMember* find(std::string_view name) const;
};

enum class DuplicateMembers { refuse, last_wins };

// nullopt when the text is not one JSON document followed only by white space, or
// (with `refuse`) when any object of the document names a member twice.
std::optional<JsonDocument> read_json(std::string_view text, DuplicateMembers duplicates);

// Typed members of a strictly read record.
std::optional<std::string_view> string_member(const JsonDocument& doc, std::string_view name);
std::optional<std::uint64_t> unsigned_member(const JsonDocument& doc, std::string_view name, std::uint64_t max);

// A std::string whose bytes are wiped before it is released. Reserve the final
// size up front so that no unwiped buffer is left behind by growth.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : s_(s) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit();

 private:
  std::string& s_;
};

// The sealed-file record (identity, sealed blobs): compact JSON, version 1,
// then the nonce and ciphertext texts.
std::string envelope_json(const SealedEnvelope& sealed);

// The JSON library's message for a text it would refuse to write (invalid UTF-8),
// or nullopt for a text it writes.
std::optional<std::string> unwritable_text_error(std::string_view text);

}  // namespace kio::install::detail
