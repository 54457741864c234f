// The LTR frame chain: frame lines, digests, associated data, reading back the
// verified chain and appending one frame.
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "common/os_error.h"
#include "install/crypto.h"
#include "install/json.h"
#include "install/persist/persist.h"
#include "install/persist/private_files.h"

namespace kio::install {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view CORRUPT_FRAME = "corrupt LTR frame";
constexpr std::string_view UNSUPPORTED_FRAME = "unsupported LTR frame";
constexpr std::string_view CHAIN_BROKEN = "LTR chain is broken";
constexpr std::string_view SEQUENCE_OVERFLOW = "LTR sequence overflow";

// A parsed frame whose texts point into the line or into a decoded document.
struct FrameView {
  std::string_view schema;
  std::uint32_t version = 0;
  std::uint64_t sequence = 0;
  std::string_view previous_digest, nonce_b64, ciphertext_b64;
};

// The frame line without its line feed; the error of a text without a JSON form.
std::optional<std::string> append_frame_line(std::string& out, const FrameView& f) {
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

FrameView view_of(const LtrFrame& f) {
  return FrameView{f.schema, f.version, f.sequence, f.previous_digest, f.nonce_b64, f.ciphertext_b64};
}

// --- Fast path: a line exactly as this store writes it. Such a line is its own
// serialised form, so its digest is the digest of its bytes. Anything else goes
// through the full reader, which decides what is valid.

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
  std::size_t n = 0;
  value = 0;
  while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9') {
    const auto d = static_cast<std::uint64_t>(rest[n] - '0');
    if (value > (max - d) / 10) return false;
    value = value * 10 + d;
    ++n;
  }
  if (n == 0 || (n > 1 && rest[0] == '0')) return false;
  rest.remove_prefix(n);
  return true;
}

bool parse_canonical_frame(std::string_view line, FrameView& f) {
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

bool parse_any_frame(std::string_view line, std::optional<json::Record>& held, FrameView& f) {
  held = json::read_record(line, json::Duplicates::refuse);
  if (!held || held->type != json::Type::object) return false;
  const auto schema = held->string("schema");
  const auto version = held->unsigned_number("version", std::numeric_limits<std::uint32_t>::max());
  const auto sequence = held->unsigned_number("sequence", std::numeric_limits<std::uint64_t>::max());
  const auto previous = held->string("previous_digest");
  const auto nonce = held->string("nonce_b64");
  const auto ciphertext = held->string("ciphertext_b64");
  if (!schema || !version || !sequence || !previous || !nonce || !ciphertext) return false;
  f = FrameView{*schema, static_cast<std::uint32_t>(*version), *sequence, *previous, *nonce, *ciphertext};
  return true;
}

// Where the chain ends, and what an append must mend first.
struct ChainTip {
  std::uint64_t count = 0;
  std::string last_digest{LTR_GENESIS_DIGEST};
  // The last segment ends in a partial line (a write that never completed):
  // reads ignore it and the next append cuts the segment back to `torn_offset`.
  std::optional<fs::path> torn_segment;
  std::uint64_t torn_offset = 0;
};

template <class OnFrame>
Result<ChainTip> walk_chain(const fs::path& persist_root, OnFrame&& on_frame) {
  if (auto migrated = migrate_ltr_names(persist_root); !migrated) return std::unexpected(migrated.error());
  std::vector<fs::path> segments;
  if (auto collected = collect_jsonl(persist_root / "ltr", segments); !collected) {
    return std::unexpected(collected.error());
  }
  sort_segments(segments);

  ChainTip tip;
  std::uint64_t expected_sequence = 1;
  std::string serialised;
  std::optional<json::Record> held;
  std::string content;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    if (auto read = read_file(segments[s], content); !read) return std::unexpected(read.error());
    if (!is_valid_utf8(content)) return fail(std::string(INVALID_UTF8_TEXT));
    const std::string_view text = content;
    const bool last_segment = s + 1 == segments.size();
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t feed = text.find('\n', pos);
      const bool terminated = feed != std::string_view::npos;
      std::string_view line = text.substr(pos, (terminated ? feed : text.size()) - pos);
      if (terminated && line.ends_with('\r')) line.remove_suffix(1);
      const std::size_t line_start = pos;
      pos = terminated ? feed + 1 : text.size();
      if (line.empty()) continue;

      FrameView frame;
      const bool canonical = parse_canonical_frame(line, frame);
      if (!canonical && !parse_any_frame(line, held, frame)) {
        if (!terminated && last_segment) {
          tip.torn_segment = segments[s];
          tip.torn_offset = line_start;
          break;
        }
        return fail(std::string(CORRUPT_FRAME));
      }
      if (frame.schema != LTR_FRAME_SCHEMA || frame.version != LTR_FRAME_VERSION) {
        return fail(std::string(UNSUPPORTED_FRAME));
      }
      if (frame.sequence != expected_sequence || frame.previous_digest != tip.last_digest) {
        return fail(std::string(CHAIN_BROKEN));
      }
      if (canonical) {
        tip.last_digest = sha256_hex(line);
      } else {
        serialised.clear();
        append_frame_line(serialised, frame);
        tip.last_digest = sha256_hex(serialised);
      }
      if (expected_sequence == std::numeric_limits<std::uint64_t>::max()) return fail(std::string(SEQUENCE_OVERFLOW));
      ++expected_sequence;
      on_frame(frame);
    }
  }
  tip.count = expected_sequence - 1;
  return tip;
}

Result<void> cut_back(const fs::path& segment, std::uint64_t length) {
  Fd fd(::open(segment.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return fail(last_os_error_text());
  if (::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) return fail(last_os_error_text());
  if (auto synced = flush_to_device(fd.get()); !synced) return synced;
  return fd.close();
}

// Appends one line to a segment, creating it (0600) if needed; a segment whose
// last line lacks its line feed gets one first.
Result<void> append_line(const fs::path& segment, std::string_view line) {
  const fs::path dir = segment.has_parent_path() ? segment.parent_path() : fs::path(".");
  if (segment.has_parent_path()) {
    if (auto made = detail::create_private_dir(dir); !made) return made;
  }
  bool created = true;
  Fd fd(::open(segment.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() && errno == EEXIST) {
    created = false;
    fd = Fd(::open(segment.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  }
  if (!fd.valid()) return fail(last_os_error_text());
  if (::fchmod(fd.get(), 0600) != 0) return fail(last_os_error_text());
  std::string bytes;
  struct stat st {};
  if (!created && ::fstat(fd.get(), &st) == 0 && st.st_size > 0) {
    char last = '\n';
    if (::pread(fd.get(), &last, 1, st.st_size - 1) != 1) return fail(last_os_error_text());
    if (last != '\n') bytes.push_back('\n');
  }
  bytes.append(line);
  if (auto written = write_all(fd.get(), bytes); !written) return written;
  if (auto synced = flush_to_device(fd.get()); !synced) return synced;
  if (auto closed = fd.close(); !closed) return closed;
  if (created) return flush_directory(dir);
  return {};
}

}  // namespace

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

Result<std::string> serialize_ltr_frame(const LtrFrame& frame) {
  std::string line;
  if (auto error = append_frame_line(line, view_of(frame))) return fail(*error);
  return line;
}

Result<std::string> frame_digest(const LtrFrame& frame) {
  auto line = serialize_ltr_frame(frame);
  if (!line) return std::unexpected(line.error());
  return sha256_hex(*line);
}

Result<std::vector<LtrFrame>> Persist::read_frames() {
  std::vector<LtrFrame> frames;
  auto tip = walk_chain(root_, [&](const FrameView& f) {
    frames.push_back(LtrFrame{std::string(f.schema), f.version, f.sequence, std::string(f.previous_digest),
                              std::string(f.nonce_b64), std::string(f.ciphertext_b64)});
  });
  if (!tip) return std::unexpected(tip.error());
  return frames;
}

Result<std::uint64_t> Persist::append_ltr_payload(const LtrPayload& payload) {
  auto tip = walk_chain(root_, [](const FrameView&) {});
  if (!tip) return std::unexpected(tip.error());
  const std::uint64_t sequence = tip->count + 1;

  auto plaintext = serialize_ltr_payload(payload);
  if (!plaintext) return std::unexpected(plaintext.error());
  const auto aad = ltr_aad(founder_id_, LTR_STREAM_LABEL, sequence, tip->last_digest);
  auto sealed = encrypt(wrap_key_, aad, *plaintext);
  sodium_memzero(plaintext->data(), plaintext->size());
  if (!sealed) return std::unexpected(sealed.error());

  std::string line;
  append_frame_line(line, FrameView{LTR_FRAME_SCHEMA, LTR_FRAME_VERSION, sequence, tip->last_digest,
                                    sealed->nonce_b64, sealed->ciphertext_b64});
  line.push_back('\n');

  if (tip->torn_segment) {
    if (auto cut = cut_back(*tip->torn_segment, tip->torn_offset); !cut) return std::unexpected(cut.error());
  }
  auto segment = today_segment_path();
  if (!segment) return std::unexpected(segment.error());
  if (auto appended = append_line(*segment, line); !appended) return std::unexpected(appended.error());
  return sequence;
}

}  // namespace kio::install
