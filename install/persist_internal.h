// Helpers shared by the parts of the persist module; not used outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/secret.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "install/paths.h"
#include "install/persist.h"
#include "install/result.h"

namespace kio::install::detail {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Directories.

// Creates the directory and its missing ancestors, flushing each new entry to the
// device, then sets the directory itself to mode 0700.
Result<void> create_private_dir(const fs::path& dir);

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
