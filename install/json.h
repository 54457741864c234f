// JSON, read and written one way for every record of the install.
//
// Reading: one strict reader validates the whole text (RFC 8259: one value and
// only white space after it; no comments or trailing commas; strings of valid
// UTF-8 without raw control characters; paired surrogate escapes; numbers that
// fit a double). It walks the text without recursion, keeps decoded texts in
// buffers that are wiped when released (plaintexts of sealed records pass
// through it), and can refuse a member name given twice in any object. It hands
// the document back in one of two forms:
//   - a Record: the members of a top-level object as typed scalars, for the
//     store's records and other flat ones;
//   - a Value: the whole document as a tree, for nested and free-form documents.
//
// A typed record is unreadable when a required member is missing or of the
// wrong type (a negative, fractional or out-of-range number for an unsigned
// field, null for a text). Members a record does not define are ignored.
//
// Writing: one Writer, in two layouts. Compact has no white space at all;
// indented has two spaces per level, one member or element per line, ": "
// between name and value, "[]" and "{}" for empty containers and no line break
// after the last character. Typed records are written member by member in
// their declaration order; free-form values with the members of every object in
// ascending byte order of their names. Texts are escaped the same way
// everywhere: quotation mark, backslash and control characters below 0x20 (as
// \b \t \n \f \r, else \u00XX with lowercase hex); everything else is written as
// its UTF-8 bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/secret.h"
#include "common/result.h"

namespace kio::install::json {

// A free-form value; its objects keep their members in ascending byte order.
using Json = nlohmann::json;

enum class Duplicates { refuse, last_wins };

// ---------------------------------------------------------------------------
// Reading.

using WipedString = SecretText::String;

enum class Type : std::uint8_t { null, boolean, unsigned_number, other_number, string, array, object };

struct Member {
  WipedString name;
  Type type = Type::null;
  bool boolean = false;
  std::uint64_t number = 0;  // for unsigned_number: an integer from 0 to 2^64-1 ("-0" is other_number)
  WipedString text;          // for string
};

struct Record {
  Type type = Type::null;       // of the whole document
  std::vector<Member> members;  // of a top-level object, in document order

  // The last member of that name, or nullptr.
  const Member* find(std::string_view name) const;
  std::optional<std::string_view> string(std::string_view name) const;
  std::optional<std::uint64_t> unsigned_number(std::string_view name, std::uint64_t max) const;
  std::optional<bool> boolean(std::string_view name) const;
};

// Nothing when the text is not one JSON document followed only by white space,
// or (with `refuse`) when any object of it names a member twice.
// Overwrites every text (string values, not member names) of a document
// with zeros, for documents that were decrypted plaintext.
void wipe_texts(Json& value);

std::optional<Record> read_record(std::string_view text, Duplicates duplicates);
std::optional<Json> read_value(std::string_view text, Duplicates duplicates);
inline std::optional<Json> read_value(std::span<const std::uint8_t> bytes, Duplicates duplicates) {
  return read_value(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), duplicates);
}

// Typed members of a value that must be an object; each fails when the member
// is missing or of the wrong type. The error texts name the member.
Result<std::string> get_string(const Json& object, std::string_view name);
// Several text members at once, each into its target; the first member that is
// missing or not a text fails the call (targets before it are already filled).
struct TextMember {
  std::string_view name;
  std::string* target;
};
Result<void> get_strings(const Json& object, std::initializer_list<TextMember> members);
Result<std::uint64_t> get_u64(const Json& object, std::string_view name);
Result<std::uint32_t> get_u32(const Json& object, std::string_view name);
Result<std::uint16_t> get_u16(const Json& object, std::string_view name);
Result<bool> get_bool(const Json& object, std::string_view name);
// The member itself, which must be an array.
Result<const Json*> get_array(const Json& object, std::string_view name);
// Conversions of a value already in hand.
Result<std::string> as_string(const Json& value);
Result<std::uint64_t> as_unsigned(const Json& value, std::uint64_t max);

// ---------------------------------------------------------------------------
// Writing.

enum class Layout { compact, indented };

// Appends `text` as a JSON string (the escaping above).
void append_string(std::string& out, std::string_view text);

// The JSON library's message for a text that has no JSON form (it is not valid
// UTF-8), or nothing for a text that can be written.
std::optional<std::string> unwritable_text_error(std::string_view text);

// Writes one document into `out`, which may be a buffer that the caller wipes
// (nothing else is allocated for the texts it writes). The caller pairs the
// begin and end calls; `name` comes before every value inside an object.
class Writer {
 public:
  Writer(std::string& out, Layout layout) : out_(out), layout_(layout) {}

  Writer& begin_object();
  Writer& end_object();
  Writer& begin_array();
  Writer& end_array();
  Writer& name(std::string_view member_name);
  Writer& string(std::string_view text);
  Writer& number(std::uint64_t value);
  Writer& boolean(bool value);
  // A free-form value: object members in ascending byte order, at any depth.
  Writer& value(const Json& value);

  // The first text that had no JSON form (its message, as unwritable_text_error
  // gives it), or nothing when every text could be written.
  const std::optional<std::string>& error() const { return error_; }

 private:
  struct Level {
    bool object;
    bool empty = true;
  };
  void before_value();
  void close(char bracket);
  void scalar(const Json& value);

  std::string& out_;
  Layout layout_;
  std::vector<Level> levels_;
  bool after_name_ = false;
  std::optional<std::string> error_;
};

// A free-form value written whole, or the first unwritable text's message.
Result<std::string> write_value(const Json& value, Layout layout);

}  // namespace kio::install::json
