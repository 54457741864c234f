#include "install/json.h"

#include <sodium.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>

#include "common/bytes.h"
#include "common/utf8.h"

namespace kio::install::json {
namespace {

bool is_json_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A number as it stands in the text.
struct Number {
  std::string_view text;
  bool negative = false;
  bool integer = true;        // no fraction and no exponent
  bool fits = true;           // the integer's magnitude fits 64 bits
  std::uint64_t magnitude = 0;
};

// The one reader. It validates the whole text and reports what it finds to a
// sink: containers opening and closing, member names, and scalar values.
// The JSON library's parser cannot stand in for it: decrypted records and
// peers' payloads pass through here, and the library's lexer keeps a copy of
// every token (its raw text for error messages, the decoded string) in buffers
// it frees without wiping, and quotes the last token in its error message.
template <class Sink>
class Reader {
 public:
  Reader(std::string_view text, Duplicates duplicates, Sink& sink)
      : s_(text), refuse_(duplicates == Duplicates::refuse), sink_(sink) {}

  bool run();

 private:
  struct Level {
    bool object;
    std::set<WipedString, std::less<>> names;  // only when duplicates are refused
  };

  bool at_end() const { return p_ >= s_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(s_[p_]); }
  void skip_space() {
    while (!at_end() && is_json_space(peek())) ++p_;
  }
  bool literal(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }
  bool string(WipedString* out);
  bool escape(WipedString* out);
  bool hex4(char32_t& value);
  bool number(Number& out);
  bool value();

  std::string_view s_;
  std::size_t p_ = 0;
  bool refuse_;
  Sink& sink_;
  std::vector<Level> stack_;
};

template <class Sink>
bool Reader<Sink>::run() {
  enum class Want { value, name, after_value } want = Want::value;
  for (;;) {
    skip_space();
    if (want == Want::value) {
      if (at_end()) return false;
      const unsigned char c = peek();
      if (c == '{' || c == '[') {
        ++p_;
        const bool object = c == '{';
        sink_.begin(object ? Type::object : Type::array);
        stack_.push_back(Level{object, {}});
        skip_space();
        if (!at_end() && peek() == (object ? '}' : ']')) {
          ++p_;
          stack_.pop_back();
          sink_.end();
          want = Want::after_value;
        } else {
          want = object ? Want::name : Want::value;
        }
        continue;
      }
      if (!value()) return false;
      want = Want::after_value;
    } else if (want == Want::name) {
      if (at_end() || peek() != '"') return false;
      WipedString name;
      if (!string(&name)) return false;
      skip_space();
      if (at_end() || peek() != ':') return false;
      ++p_;
      if (refuse_ && !stack_.back().names.insert(name).second) return false;
      sink_.name(std::move(name));
      want = Want::value;
    } else {  // after a value
      if (stack_.empty()) return at_end();
      if (at_end()) return false;
      const unsigned char c = peek();
      ++p_;
      if (c == ',') {
        want = stack_.back().object ? Want::name : Want::value;
      } else if (c == (stack_.back().object ? '}' : ']')) {
        stack_.pop_back();
        sink_.end();
      } else {
        return false;
      }
    }
  }
}

template <class Sink>
bool Reader<Sink>::value() {
  const unsigned char c = peek();
  if (c == '"') {
    if (!sink_.wants_text()) {
      if (!string(nullptr)) return false;
      sink_.string(WipedString());
      return true;
    }
    WipedString text;
    if (!string(&text)) return false;
    sink_.string(std::move(text));
    return true;
  }
  if (c == 't' || c == 'f') {
    if (!literal(c == 't' ? "true" : "false")) return false;
    sink_.boolean(c == 't');
    return true;
  }
  if (c == 'n') {
    if (!literal("null")) return false;
    sink_.null();
    return true;
  }
  if (c == '-' || (c >= '0' && c <= '9')) {
    Number n;
    if (!number(n)) return false;
    sink_.number(n);
    return true;
  }
  return false;
}

template <class Sink>
bool Reader<Sink>::string(WipedString* out) {
  ++p_;  // opening quotation mark
  for (;;) {
    // A run of plain ASCII is taken in one piece.
    const std::size_t start = p_;
    while (!at_end()) {
      const unsigned char c = peek();
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      ++p_;
    }
    if (out && p_ > start) out->append(s_.data() + start, p_ - start);
    if (at_end()) return false;
    const unsigned char c = peek();
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      if (!escape(out)) return false;
      continue;
    }
    const Utf8Sequence seq = next_utf8(s_, p_);
    if (!seq.valid) return false;
    if (out) out->append(s_.data() + p_, seq.length);
    p_ += seq.length;
  }
}

template <class Sink>
bool Reader<Sink>::hex4(char32_t& value) {
  if (s_.size() - p_ < 4) return false;
  value = 0;
  for (int k = 0; k < 4; ++k) {
    const int d = hex_digit_value(static_cast<char>(peek()));
    if (d < 0) return false;
    value = (value << 4) | static_cast<char32_t>(d);
    ++p_;
  }
  return true;
}

template <class Sink>
bool Reader<Sink>::escape(WipedString* out) {
  ++p_;  // backslash
  if (at_end()) return false;
  const unsigned char e = peek();
  ++p_;
  char plain;
  switch (e) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': {
      char32_t cp;
      if (!hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // a low surrogate cannot come first
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        char32_t low;
        if (s_.size() - p_ < 2 || s_[p_] != '\\' || s_[p_ + 1] != 'u') return false;
        p_ += 2;
        if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out) append_utf8(*out, cp);
      return true;
    }
    default:
      return false;
  }
  if (out) out->push_back(plain);
  return true;
}

template <class Sink>
bool Reader<Sink>::number(Number& out) {
  const std::size_t start = p_;
  out.negative = peek() == '-';
  if (out.negative) ++p_;
  if (at_end()) return false;
  const std::size_t digits = p_;
  if (peek() == '0') {
    ++p_;
  } else if (peek() >= '1' && peek() <= '9') {
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
  } else {
    return false;
  }
  const std::size_t digits_end = p_;
  if (!at_end() && peek() == '.') {
    ++p_;
    const std::size_t fraction = p_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
    if (p_ == fraction) return false;
    out.integer = false;
  }
  if (!at_end() && (peek() == 'e' || peek() == 'E')) {
    ++p_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++p_;
    const std::size_t exponent = p_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
    if (p_ == exponent) return false;
    out.integer = false;
  }
  out.text = s_.substr(start, p_ - start);
  if (out.integer) {
    for (std::size_t i = digits; i < digits_end && out.fits; ++i) {
      const auto d = static_cast<std::uint64_t>(s_[i] - '0');
      if (out.magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
        out.fits = false;
      } else {
        out.magnitude = out.magnitude * 10 + d;
      }
    }
  }
  if (out.integer && out.fits) return true;
  // A number too large for a double is refused, as JSON libraries do.
  return std::isfinite(std::strtod(std::string(out.text).c_str(), nullptr));
}

// Keeps the members of a top-level object.
class RecordSink {
 public:
  Record record;

  bool wants_text() const { return depth_ == 1 && record.type == Type::object; }
  void name(WipedString&& name) {
    if (depth_ == 1) {
      record.members.emplace_back();
      record.members.back().name = std::move(name);
    }
  }
  void begin(Type type) {
    slot(type);
    if (depth_ == 0 && type == Type::object) record.members.reserve(8);
    ++depth_;
  }
  void end() { --depth_; }
  void null() { slot(Type::null); }
  void boolean(bool value) {
    if (Member* m = slot(Type::boolean)) m->boolean = value;
  }
  void number(const Number& n) {
    // Every negative number, "-0" included, is out of an unsigned field's
    // range: other readers take "-0" for the float -0.0.
    const bool is_unsigned = n.integer && n.fits && !n.negative;
    if (Member* m = slot(is_unsigned ? Type::unsigned_number : Type::other_number)) m->number = n.magnitude;
  }
  void string(WipedString&& text) {
    if (Member* m = slot(Type::string)) m->text = std::move(text);
  }

 private:
  Member* slot(Type type) {
    if (depth_ == 0) {
      record.type = type;
      return nullptr;
    }
    if (depth_ == 1 && record.type == Type::object) {
      Member& m = record.members.back();
      m.type = type;
      return &m;
    }
    return nullptr;
  }
  std::size_t depth_ = 0;
};

// Builds the whole document as a tree, with the number types the JSON library
// gives the same text: unsigned for non-negative integers, signed for negative
// ones, floating point for the rest and for integers beyond 64 bits.
class TreeSink {
 public:
  Json root;

  bool wants_text() const { return true; }
  void name(WipedString&& name) { name_.assign(name.data(), name.size()); }
  void begin(Type type) { open_.push_back(&place(type == Type::object ? Json::object() : Json::array())); }
  void end() { open_.pop_back(); }
  void null() { place(nullptr); }
  void boolean(bool value) { place(value); }
  void number(const Number& n) {
    if (n.integer && n.fits && !n.negative) {
      place(n.magnitude);
    } else if (n.integer && n.fits && n.magnitude <= std::uint64_t{1} << 63) {
      place(n.magnitude == std::uint64_t{1} << 63 ? std::numeric_limits<std::int64_t>::min()
                                                  : -static_cast<std::int64_t>(n.magnitude));
    } else {
      place(std::strtod(std::string(n.text).c_str(), nullptr));
    }
  }
  void string(WipedString&& text) { place(std::string(text.data(), text.size())); }

 private:
  Json& place(Json value) {
    if (open_.empty()) {
      root = std::move(value);
      return root;
    }
    Json& container = *open_.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return container.back();
    }
    Json& member = container[name_];  // a repeated name keeps its last value
    member = std::move(value);
    return member;
  }
  std::vector<Json*> open_;
  std::string name_;
};

Result<const Json*> member(const Json& object, std::string_view name) {
  if (!object.is_object()) return fail("expected an object");
  auto it = object.find(name);
  if (it == object.end()) return fail("missing member " + std::string(name));
  return &*it;
}

template <class T>
Result<T> get_unsigned(const Json& object, std::string_view name) {
  auto m = member(object, name);
  if (!m) return std::unexpected(m.error());
  auto v = as_unsigned(**m, std::numeric_limits<T>::max());
  if (!v) return fail("member " + std::string(name) + ": " + v.error());
  return static_cast<T>(*v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading.

const Member* Record::find(std::string_view name) const {
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (std::string_view(it->name.data(), it->name.size()) == name) return &*it;
  }
  return nullptr;
}

std::optional<std::string_view> Record::string(std::string_view name) const {
  const Member* m = find(name);
  if (m == nullptr || m->type != Type::string) return std::nullopt;
  return std::string_view(m->text.data(), m->text.size());
}

std::optional<std::uint64_t> Record::unsigned_number(std::string_view name, std::uint64_t max) const {
  const Member* m = find(name);
  if (m == nullptr || m->type != Type::unsigned_number || m->number > max) return std::nullopt;
  return m->number;
}

std::optional<bool> Record::boolean(std::string_view name) const {
  const Member* m = find(name);
  if (m == nullptr || m->type != Type::boolean) return std::nullopt;
  return m->boolean;
}

std::optional<Record> read_record(std::string_view text, Duplicates duplicates) {
  RecordSink sink;
  if (!Reader<RecordSink>(text, duplicates, sink).run()) return std::nullopt;
  return std::move(sink.record);
}

void wipe_texts(Json& value) {
  if (value.is_string()) {
    wipe_string(value.get_ref<std::string&>());
  } else if (value.is_structured()) {
    for (auto& item : value) wipe_texts(item);
  }
}

std::optional<Json> read_value(std::string_view text, Duplicates duplicates) {
  TreeSink sink;
  if (!Reader<TreeSink>(text, duplicates, sink).run()) return std::nullopt;
  return std::move(sink.root);
}

Result<std::string> as_string(const Json& value) {
  if (!value.is_string()) return fail("expected a string");
  return value.get<std::string>();
}

Result<std::uint64_t> as_unsigned(const Json& value, std::uint64_t max) {
  // Only a non-negative integer is unsigned: "-0" reads as a signed zero and is
  // refused like every negative number.
  if (!value.is_number_unsigned()) return fail("expected an unsigned integer");
  const auto v = value.get<std::uint64_t>();
  if (v > max) return fail("number out of range");
  return v;
}

Result<std::string> get_string(const Json& object, std::string_view name) {
  auto m = member(object, name);
  if (!m) return std::unexpected(m.error());
  if (!(*m)->is_string()) return fail("member " + std::string(name) + " is not a string");
  return (*m)->get<std::string>();
}

Result<void> get_strings(const Json& object, std::initializer_list<TextMember> members) {
  for (const auto& m : members) {
    auto text = get_string(object, m.name);
    if (!text) return std::unexpected(text.error());
    *m.target = std::move(*text);
  }
  return {};
}

Result<std::uint64_t> get_u64(const Json& object, std::string_view name) {
  return get_unsigned<std::uint64_t>(object, name);
}
Result<std::uint32_t> get_u32(const Json& object, std::string_view name) {
  return get_unsigned<std::uint32_t>(object, name);
}
Result<std::uint16_t> get_u16(const Json& object, std::string_view name) {
  return get_unsigned<std::uint16_t>(object, name);
}

Result<bool> get_bool(const Json& object, std::string_view name) {
  auto m = member(object, name);
  if (!m) return std::unexpected(m.error());
  if (!(*m)->is_boolean()) return fail("member " + std::string(name) + " is not a boolean");
  return (*m)->get<bool>();
}

Result<const Json*> get_array(const Json& object, std::string_view name) {
  auto m = member(object, name);
  if (!m) return std::unexpected(m.error());
  if (!(*m)->is_array()) return fail("member " + std::string(name) + " is not an array");
  return *m;
}

// ---------------------------------------------------------------------------
// Writing.

void append_string(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

std::optional<std::string> unwritable_text_error(std::string_view text) {
  if (is_valid_utf8(text)) return std::nullopt;
  // The JSON library words the refusal; the text may be a secret, so the copy
  // handed to it is wiped.
  Json value = std::string(text);
  std::optional<std::string> message;
  try {
    (void)value.dump();
  } catch (const Json::exception& e) {
    message = e.what();
  }
  auto& held = value.get_ref<std::string&>();
  sodium_memzero(held.data(), held.size());
  return message ? message : std::optional<std::string>("invalid UTF-8 text");
}

void Writer::before_value() {
  if (levels_.empty()) return;
  Level& level = levels_.back();
  if (level.object) {
    after_name_ = false;  // name() placed the separator
    return;
  }
  if (!level.empty) out_.push_back(',');
  level.empty = false;
  if (layout_ == Layout::indented) {
    out_.push_back('\n');
    out_.append(2 * levels_.size(), ' ');
  }
}

Writer& Writer::name(std::string_view member_name) {
  Level& level = levels_.back();
  if (!level.empty) out_.push_back(',');
  level.empty = false;
  if (layout_ == Layout::indented) {
    out_.push_back('\n');
    out_.append(2 * levels_.size(), ' ');
  }
  if (auto error = unwritable_text_error(member_name); error && !error_) error_ = std::move(error);
  append_string(out_, member_name);
  out_ += layout_ == Layout::indented ? ": " : ":";
  after_name_ = true;
  return *this;
}

Writer& Writer::begin_object() {
  before_value();
  out_.push_back('{');
  levels_.push_back(Level{true});
  return *this;
}

Writer& Writer::begin_array() {
  before_value();
  out_.push_back('[');
  levels_.push_back(Level{false});
  return *this;
}

void Writer::close(char bracket) {
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty && layout_ == Layout::indented) {
    out_.push_back('\n');
    out_.append(2 * levels_.size(), ' ');
  }
  out_.push_back(bracket);
}

Writer& Writer::end_object() {
  close('}');
  return *this;
}

Writer& Writer::end_array() {
  close(']');
  return *this;
}

Writer& Writer::string(std::string_view text) {
  before_value();
  if (auto error = unwritable_text_error(text); error && !error_) error_ = std::move(error);
  append_string(out_, text);
  return *this;
}

Writer& Writer::number(std::uint64_t value) {
  before_value();
  out_ += std::to_string(value);
  return *this;
}

Writer& Writer::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
  return *this;
}

void Writer::scalar(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      string(value.get_ref<const std::string&>());
      return;
    case Json::value_t::boolean:
      boolean(value.get<bool>());
      return;
    case Json::value_t::number_unsigned:
      number(value.get<std::uint64_t>());
      return;
    default:
      // null, signed and floating-point numbers: the JSON library's own spelling.
      before_value();
      out_ += value.dump();
      return;
  }
}

Writer& Writer::value(const Json& root) {
  // Without recursion, so that no document is too deep to write.
  struct Open {
    const Json* container;
    Json::const_iterator next;
  };
  std::vector<Open> open;
  const auto enter = [&](const Json& v) {
    if (v.is_object()) {
      begin_object();
      open.push_back(Open{&v, v.cbegin()});
    } else if (v.is_array()) {
      begin_array();
      open.push_back(Open{&v, v.cbegin()});
    } else {
      scalar(v);
    }
  };
  enter(root);
  while (!open.empty()) {
    Open& top = open.back();
    if (top.next == top.container->cend()) {
      if (top.container->is_object()) {
        end_object();
      } else {
        end_array();
      }
      open.pop_back();
      continue;
    }
    const Json& child = *top.next;
    if (top.container->is_object()) name(top.next.key());
    ++top.next;  // before `enter`, which may move `open`
    enter(child);
  }
  return *this;
}

Result<std::string> write_value(const Json& value, Layout layout) {
  std::string out;
  Writer writer(out, layout);
  writer.value(value);
  if (writer.error()) return fail(*writer.error());
  return out;
}

}  // namespace kio::install::json
