// The JSON reader of the store's records: validates a whole document without
// recursion and keeps the members of a top-level object.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>

#include "common/bytes.h"
#include "install/persist_internal.h"

namespace kio::install::detail {
namespace {

bool is_json_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void append_utf8(WipedString& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

class Reader {
 public:
  Reader(std::string_view text, DuplicateMembers duplicates) : s_(text), refuse_(duplicates == DuplicateMembers::refuse) {}

  std::optional<JsonDocument> run();

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
  bool string(WipedString* out);
  bool utf8_sequence(WipedString* out);
  bool escape(WipedString* out);
  bool hex4(char32_t& value);
  bool number(JsonMember* out);
  bool literal(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  std::string_view s_;
  std::size_t p_ = 0;
  bool refuse_;
};

std::optional<JsonDocument> Reader::run() {
  JsonDocument doc;
  std::vector<Level> stack;
  enum class Want { value, key, after_value } want = Want::value;
  for (;;) {
    skip_space();
    if (want == Want::value) {
      if (at_end()) return std::nullopt;
      // The member slot when this value belongs to the top-level object.
      JsonMember* slot = (stack.size() == 1 && stack.back().object) ? &doc.members.back() : nullptr;
      JsonType type;
      const unsigned char c = peek();
      if (c == '{' || c == '[') {
        ++p_;
        type = c == '{' ? JsonType::object : JsonType::array;
        if (slot) slot->type = type;
        if (stack.empty()) {
          doc.type = type;
          if (c == '{') doc.members.reserve(8);
        }
        stack.push_back(Level{c == '{', {}});
        skip_space();
        if (!at_end() && peek() == (c == '{' ? '}' : ']')) {
          ++p_;
          stack.pop_back();
          want = Want::after_value;
        } else {
          want = c == '{' ? Want::key : Want::value;
        }
        continue;
      }
      JsonMember scalar;
      JsonMember* target = slot ? slot : &scalar;
      if (c == '"') {
        if (!string(slot ? &slot->text : nullptr)) return std::nullopt;
        type = JsonType::string;
      } else if (c == 't' || c == 'f') {
        if (!literal(c == 't' ? "true" : "false")) return std::nullopt;
        type = JsonType::boolean;
        target->boolean = c == 't';
      } else if (c == 'n') {
        if (!literal("null")) return std::nullopt;
        type = JsonType::null;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        if (!number(target)) return std::nullopt;
        type = target->type;
      } else {
        return std::nullopt;
      }
      if (slot) slot->type = type;
      if (stack.empty()) doc.type = type;
      want = Want::after_value;
    } else if (want == Want::key) {
      if (at_end() || peek() != '"') return std::nullopt;
      WipedString name;
      if (!string(&name)) return std::nullopt;
      skip_space();
      if (at_end() || peek() != ':') return std::nullopt;
      ++p_;
      if (refuse_ && !stack.back().names.insert(name).second) return std::nullopt;
      if (stack.size() == 1) {
        doc.members.emplace_back();
        doc.members.back().name = std::move(name);
      }
      want = Want::value;
    } else {  // after a value
      if (stack.empty()) {
        if (!at_end()) return std::nullopt;
        return doc;
      }
      if (at_end()) return std::nullopt;
      const unsigned char c = peek();
      ++p_;
      if (c == ',') {
        want = stack.back().object ? Want::key : Want::value;
      } else if (c == (stack.back().object ? '}' : ']')) {
        stack.pop_back();
      } else {
        return std::nullopt;
      }
    }
  }
}

bool Reader::string(WipedString* out) {
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
    } else if (!utf8_sequence(out)) {
      return false;
    }
  }
}

bool Reader::utf8_sequence(WipedString* out) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s_[p_ + k]); };
  const unsigned char c = peek();
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no encoded surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return false;
  }
  if (s_.size() - p_ < len) return false;
  if (byte(1) < lo || byte(1) > hi) return false;
  for (std::size_t k = 2; k < len; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return false;
  }
  if (out) out->append(s_.data() + p_, len);
  p_ += len;
  return true;
}

bool Reader::hex4(char32_t& value) {
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

bool Reader::escape(WipedString* out) {
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

bool Reader::number(JsonMember* out) {
  const std::size_t start = p_;
  const bool negative = peek() == '-';
  if (negative) ++p_;
  const std::size_t digits = p_;
  if (at_end()) return false;
  if (peek() == '0') {
    ++p_;
  } else if (peek() >= '1' && peek() <= '9') {
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
  } else {
    return false;
  }
  const std::size_t digits_end = p_;
  bool integer = true;
  if (!at_end() && peek() == '.') {
    ++p_;
    const std::size_t fraction = p_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
    if (p_ == fraction) return false;
    integer = false;
  }
  if (!at_end() && (peek() == 'e' || peek() == 'E')) {
    ++p_;
    if (!at_end() && (peek() == '+' || peek() == '-')) ++p_;
    const std::size_t exponent = p_;
    while (!at_end() && peek() >= '0' && peek() <= '9') ++p_;
    if (p_ == exponent) return false;
    integer = false;
  }
  out->type = JsonType::other_number;
  // A number too large for a double is refused, as JSON libraries do.
  const auto finite = [&] { return std::isfinite(std::strtod(std::string(s_.substr(start, p_ - start)).c_str(), nullptr)); };
  if (!integer) return finite();
  // Every negative number, "-0" included, is out of an unsigned field's range:
  // other readers of these files take "-0" for the float -0.0.
  if (negative) return finite();
  std::uint64_t value = 0;
  for (std::size_t i = digits; i < digits_end; ++i) {
    const auto d = static_cast<std::uint64_t>(s_[i] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return finite();  // beyond 64 bits
    value = value * 10 + d;
  }
  out->type = JsonType::unsigned_number;
  out->number = value;
  return true;
}

}  // namespace

const JsonMember* JsonDocument::find(std::string_view name) const {
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (std::string_view(it->name.data(), it->name.size()) == name) return &*it;
  }
  return nullptr;
}

std::optional<JsonDocument> read_json(std::string_view text, DuplicateMembers duplicates) {
  return Reader(text, duplicates).run();
}

std::optional<std::string_view> string_member(const JsonDocument& doc, std::string_view name) {
  const JsonMember* m = doc.find(name);
  if (m == nullptr || m->type != JsonType::string) return std::nullopt;
  return std::string_view(m->text.data(), m->text.size());
}

std::optional<std::uint64_t> unsigned_member(const JsonDocument& doc, std::string_view name, std::uint64_t max) {
  const JsonMember* m = doc.find(name);
  if (m == nullptr || m->type != JsonType::unsigned_number || m->number > max) return std::nullopt;
  return m->number;
}

}  // namespace kio::install::detail
