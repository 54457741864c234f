#include "install/json.h"

#include <limits>
#include <set>
#include <vector>

namespace kio::install::json {

namespace {
// nlohmann skips a leading byte-order mark; JSON text does not have one.
bool starts_with_bom(std::string_view text) { return text.starts_with("\xEF\xBB\xBF"); }
}  // namespace

Result<Json> parse_strict(std::string_view text) {
  if (starts_with_bom(text)) return fail("byte-order mark before the JSON text");
  // nlohmann keeps the last of two equal members; the parser callback sees every
  // member name, so duplicates are caught while parsing.
  std::vector<std::set<std::string>> open_objects;
  std::string duplicate;
  bool has_duplicate = false;
  auto callback = [&](int /*depth*/, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        open_objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_objects.empty()) open_objects.pop_back();
        break;
      case Json::parse_event_t::key:
        if (!open_objects.empty() && parsed.is_string()) {
          auto& name = parsed.get_ref<const std::string&>();
          if (!open_objects.back().insert(name).second && !has_duplicate) {
            has_duplicate = true;
            duplicate = name;
          }
        }
        break;
      default:
        break;
    }
    return true;
  };
  try {
    Json value = Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/true);
    if (has_duplicate) return fail("duplicate member " + duplicate);
    return value;
  } catch (const Json::exception& e) {
    return fail(e.what());
  }
}

Result<Json> parse_lenient(std::string_view text) {
  if (starts_with_bom(text)) return fail("byte-order mark before the JSON text");
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    return fail(e.what());
  }
}

namespace {

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

Result<std::string> as_string(const Json& value) {
  if (!value.is_string()) return fail("expected a string");
  return value.get<std::string>();
}

Result<std::uint64_t> as_unsigned(const Json& value, std::uint64_t max) {
  std::uint64_t v;
  // nlohmann reads "-0" as a signed zero; it is refused like every negative
  // number, as other readers take it for the float -0.0.
  if (value.is_number_unsigned()) {
    v = value.get<std::uint64_t>();
  } else {
    return fail("expected an unsigned integer");
  }
  if (v > max) return fail("number out of range");
  return v;
}

Result<std::string> get_string(const Json& object, std::string_view name) {
  auto m = member(object, name);
  if (!m) return std::unexpected(m.error());
  if (!(*m)->is_string()) return fail("member " + std::string(name) + " is not a string");
  return (*m)->get<std::string>();
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

void append_json_string(std::string& out, std::string_view text) {
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

namespace {
template <class J>
Result<std::string> dump_with(const J& value, int indent) {
  try {
    return value.dump(indent, ' ', /*ensure_ascii=*/false, J::error_handler_t::strict);
  } catch (const typename J::exception& e) {
    return fail(e.what());
  }
}
}  // namespace

Result<std::string> dump_pretty(const Json& value) { return dump_with(value, 2); }
Result<std::string> dump_pretty(const OrderedJson& value) { return dump_with(value, 2); }
Result<std::string> dump_compact(const Json& value) { return dump_with(value, -1); }
Result<std::string> dump_compact(const OrderedJson& value) { return dump_with(value, -1); }

}  // namespace kio::install::json
