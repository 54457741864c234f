#include "install/persist/ltr_format.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "install/crypto.h"
#include "install/json.h"

namespace kio::install {

namespace {

// --- Canonical lines.

bool take(std::string_view& rest, std::string_view literal) {
  if (!rest.starts_with(literal)) return false;
  rest.remove_prefix(literal.size());
  return true;
}

// True when no byte is a control character (below 0x20) or a backslash; eight
// bytes at a time, since ciphertext texts make up most of a frame line.
bool needs_no_escaping(std::string_view text) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    const std::uint64_t control = (word - ones * 0x20) & ~word & highs;
    const std::uint64_t other = word ^ (ones * '\\');
    const std::uint64_t backslash = (other - ones) & ~other & highs;
    if ((control | backslash) != 0) return false;
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '\\') return false;
  }
  return true;
}

// A text up to the closing quotation mark that needs no escaping.
bool take_plain_text(std::string_view& rest, std::string_view& text) {
  const std::size_t end = rest.find('"');
  if (end == std::string_view::npos || !needs_no_escaping(rest.substr(0, end))) return false;
  text = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

// Plain decimal without leading zeros, within `max`.
bool take_plain_number(std::string_view& rest, std::uint64_t max, std::uint64_t& value) {
  const char* const end = rest.data() + rest.size();
  const auto [stop, error] = std::from_chars(rest.data(), end, value);
  const auto digits = static_cast<std::size_t>(stop - rest.data());
  if (error != std::errc() || value > max || (digits > 1 && rest.front() == '0')) return false;
  rest.remove_prefix(digits);
  return true;
}

bool read_canonical(std::string_view line, LtrFrameView& f) {
  std::uint64_t version = 0;
  if (!take(line, "{\"schema\":\"") || !take_plain_text(line, f.schema) || !take(line, ",\"version\":") ||
      !take_plain_number(line, std::numeric_limits<std::uint32_t>::max(), version) ||
      !take(line, ",\"sequence\":") ||
      !take_plain_number(line, std::numeric_limits<std::uint64_t>::max(), f.sequence) ||
      !take(line, ",\"previous_digest\":\"") || !take_plain_text(line, f.previous_digest) ||
      !take(line, ",\"nonce_b64\":\"") || !take_plain_text(line, f.nonce_b64) ||
      !take(line, ",\"ciphertext_b64\":\"") || !take_plain_text(line, f.ciphertext_b64)) {
    return false;
  }
  f.version = static_cast<std::uint32_t>(version);
  return line == "}";
}

LtrFrameView view_of(const LtrFrame& f) {
  return LtrFrameView{f.schema, f.version, f.sequence, f.previous_digest, f.nonce_b64, f.ciphertext_b64};
}

}  // namespace

LtrFrame frame_of(const LtrFrameView& f) {
  return LtrFrame{std::string(f.schema),    f.version, f.sequence, std::string(f.previous_digest),
                  std::string(f.nonce_b64), std::string(f.ciphertext_b64)};
}

bool is_supported(const LtrFrameView& frame) {
  return frame.schema == LTR_FRAME_SCHEMA && frame.version == LTR_FRAME_VERSION;
}

std::vector<std::uint8_t> ltr_aad(std::string_view founder_id, std::string_view label, std::uint64_t sequence,
                                  std::string_view previous_digest) {
  const std::string number = std::to_string(sequence);
  std::vector<std::uint8_t> aad;
  aad.reserve(LTR_FRAME_SCHEMA.size() + founder_id.size() + label.size() + number.size() + previous_digest.size() + 4);
  for (const std::string_view part : {LTR_FRAME_SCHEMA, founder_id, label, std::string_view(number)}) {
    aad.insert(aad.end(), part.begin(), part.end());
    aad.push_back(0);
  }
  aad.insert(aad.end(), previous_digest.begin(), previous_digest.end());
  return aad;
}

std::optional<std::string> write_frame_line(std::string& out, const LtrFrameView& f) {
  json::Writer writer(out, json::Layout::compact);
  writer.begin_object()
      .name("schema").string(f.schema)
      .name("version").number(f.version)
      .name("sequence").number(f.sequence)
      .name("previous_digest").string(f.previous_digest)
      .name("nonce_b64").string(f.nonce_b64)
      .name("ciphertext_b64").string(f.ciphertext_b64)
      .end_object();
  return writer.error();
}

Result<std::string> serialize_ltr_frame(const LtrFrame& frame) {
  std::string line;
  if (auto error = write_frame_line(line, view_of(frame))) return fail(*error);
  return line;
}

Result<std::string> frame_digest(const LtrFrame& frame) {
  auto line = serialize_ltr_frame(frame);
  if (!line) return std::unexpected(line.error());
  return sha256_hex(*line);
}

std::optional<LtrFrameView> FrameLineReader::read(std::string_view line) {
  line_ = line;
  canonical_ = read_canonical(line, frame_);
  if (canonical_) return frame_;

  const auto record = json::read_record(line, json::Duplicates::refuse);
  if (!record || record->type != json::Type::object) return std::nullopt;
  const auto schema = record->string("schema");
  const auto version = record->unsigned_number("version", std::numeric_limits<std::uint32_t>::max());
  const auto sequence = record->unsigned_number("sequence", std::numeric_limits<std::uint64_t>::max());
  const auto previous = record->string("previous_digest");
  const auto nonce = record->string("nonce_b64");
  const auto ciphertext = record->string("ciphertext_b64");
  if (!schema || !version || !sequence || !previous || !nonce || !ciphertext) return std::nullopt;
  schema_ = *schema;
  previous_digest_ = *previous;
  nonce_b64_ = *nonce;
  ciphertext_b64_ = *ciphertext;
  frame_ = LtrFrameView{schema_, static_cast<std::uint32_t>(*version), *sequence, previous_digest_, nonce_b64_,
                        ciphertext_b64_};
  return frame_;
}

std::string FrameLineReader::digest() {
  if (canonical_) return sha256_hex(line_);
  // The texts came out of the strict reader, so they are valid UTF-8 and the
  // serialisation cannot fail.
  serialised_.clear();
  write_frame_line(serialised_, frame_);
  return sha256_hex(serialised_);
}

}  // namespace kio::install
