// The LTR's format on disk, in one place.
//
// The long-term record is a hash chain of sealed frames, one frame a line in
// JSON-lines segment files. A frame line is compact JSON with the six members
// of LtrFrame in their declaration order, integers in plain decimal and texts
// escaped only where JSON requires it; it ends with one line feed. Every frame
// carries its position (`sequence`, from 1) and the digest of the frame before
// it (`previous_digest`, the genesis digest for the first), and both are bound
// into the associated data its payload is sealed with, so a frame that is
// altered, dropped, moved or copied from another install is detected.
//
// A frame's digest is the SHA-256 of its serialised form, which a reader takes
// from the frame's values, not from the bytes of the line it read: a line
// written otherwise (members in another order, white space, members this
// program does not know) verifies as long as its values are right.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace kio::install {

inline constexpr std::string_view LTR_FRAME_SCHEMA = "kio.persist.ltr-frame.v1";
inline constexpr std::uint32_t LTR_FRAME_VERSION = 1;
// The one stream this program writes; bound into every frame's associated data.
inline constexpr std::string_view LTR_STREAM_LABEL = "third-party-secrets";
// previous_digest of the first frame.
inline constexpr std::string_view LTR_GENESIS_DIGEST =
    "0000000000000000000000000000000000000000000000000000000000000000";
// A segment that holds this many bytes or more receives no further frames; the
// frame that crosses the limit is still written whole.
inline constexpr std::uint64_t LTR_SEGMENT_LIMIT = 1048576;

struct LtrFrame {
  std::string schema;
  std::uint32_t version = 0;
  std::uint64_t sequence = 0;
  std::string previous_digest, nonce_b64, ciphertext_b64;
  bool operator==(const LtrFrame&) const = default;
};

// A frame whose texts are borrowed from a frame, a line or a FrameLineReader.
struct LtrFrameView {
  std::string_view schema;
  std::uint32_t version = 0;
  std::uint64_t sequence = 0;
  std::string_view previous_digest, nonce_b64, ciphertext_b64;
};

LtrFrame frame_of(const LtrFrameView& frame);

// The schema and version that this program reads.
bool is_supported(const LtrFrameView& frame);

// schema, 0, founder_id, 0, label, 0, decimal sequence, 0, previous_digest.
std::vector<std::uint8_t> ltr_aad(std::string_view founder_id, std::string_view label, std::uint64_t sequence,
                                  std::string_view previous_digest);

// Appends the frame line without its line feed to `out`. Returns the JSON
// library's message for a text that is not valid UTF-8, or nothing.
std::optional<std::string> write_frame_line(std::string& out, const LtrFrameView& frame);
Result<std::string> serialize_ltr_frame(const LtrFrame& frame);
// sha256_hex of the serialised frame.
Result<std::string> frame_digest(const LtrFrame& frame);

// Reads the lines of segments as frames, one line at a time.
//
// A line is canonical when it is exactly the serialisation of its own values,
// as every line this store writes is. Such a line is read in place, and its
// digest is that of its own bytes; checking that a line has this one form
// costs far less than the strict JSON reader and a second serialisation, which
// every other line goes through.
class FrameLineReader {
 public:
  // The frame on the line (which holds no line feed), or nothing when it is
  // not an LtrFrame: not one JSON object followed only by white space, a member
  // missing, given twice or of the wrong type. Members it does not define are
  // ignored. The texts stay valid until the next read and the line must outlive them.
  std::optional<LtrFrameView> read(std::string_view line);
  // The digest of the frame that the last successful read returned.
  std::string digest();

 private:
  LtrFrameView frame_;
  std::string_view line_;
  bool canonical_ = false;
  // The texts of a line that is not canonical, and its serialisation.
  std::string schema_, previous_digest_, nonce_b64_, ciphertext_b64_;
  std::string serialised_;
};

}  // namespace kio::install
