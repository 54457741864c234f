// The events sealed into LTR frames: writing them, decoding them and opening
// the whole log into its events.
#include <sodium.h>

#include <algorithm>
#include <iterator>

#include "install/crypto.h"
#include "install/json.h"
#include "install/persist.h"
#include "install/persist_internal.h"

namespace kio::install {

namespace {

constexpr std::string_view CORRUPT_EVENT = "corrupt LTR event";
constexpr std::string_view UNSUPPORTED_EVENT = "unsupported LTR event";
constexpr std::string_view SECRET_KINDS[] = {"connector-noise", "third-party-secret"};

std::string_view view(const detail::WipedString& s) { return {s.data(), s.size()}; }

// Builds compact JSON in a string that is wiped on release; the capacity is
// reserved for the worst case so that growth leaves no copy behind.
class EventWriter {
 public:
  explicit EventWriter(std::size_t text_bytes) : wipe_(out_) { out_.reserve(128 + 6 * text_bytes); }
  void text_member(std::string_view name, std::string_view value) {
    open_member(name);
    json::append_json_string(out_, value);
  }
  void bool_member(std::string_view name, bool value) {
    open_member(name);
    out_ += value ? "true" : "false";
  }
  SecretBytes finish() {
    out_.push_back('}');
    return SecretBytes(out_.begin(), out_.end());
  }

 private:
  void open_member(std::string_view name) {
    out_.push_back(out_.empty() ? '{' : ',');
    json::append_json_string(out_, name);
    out_.push_back(':');
  }
  std::string out_;
  detail::WipeOnExit wipe_;
};

}  // namespace

Result<SecretBytes> serialize_ltr_payload(const LtrPayload& payload) {
  // An event that the reader would refuse is never written: one such frame
  // would make the whole log unreadable.
  if (const auto* blob = std::get_if<BlobRecord>(&payload)) {
    if (blob->kind != BLOB_KIND) return fail(std::string(UNSUPPORTED_EVENT));
    const std::string_view texts[] = {blob->kind, blob->blob_id, blob->class_name, blob->url, blob->sha256};
    std::size_t size = 0;
    for (const auto text : texts) {
      if (auto error = detail::unwritable_text_error(text)) return fail(*error);
      size += text.size();
    }
    EventWriter w(size);
    w.text_member("kind", blob->kind);
    w.text_member("blob_id", blob->blob_id);
    w.text_member("class", blob->class_name);
    w.text_member("url", blob->url);
    w.bool_member("encrypted", blob->encrypted);
    w.text_member("sha256", blob->sha256);
    return w.finish();
  }
  const auto& secret = std::get<SecretEvent>(payload);
  if (std::find(std::begin(SECRET_KINDS), std::end(SECRET_KINDS), secret.kind) == std::end(SECRET_KINDS)) {
    return fail(std::string(UNSUPPORTED_EVENT));
  }
  const std::string_view texts[] = {secret.kind, secret.label, secret.value.view()};
  std::size_t size = 0;
  for (const auto text : texts) {
    if (auto error = detail::unwritable_text_error(text)) return fail(*error);
    size += text.size();
  }
  EventWriter w(size);
  w.text_member("kind", secret.kind);
  w.text_member("label", secret.label);
  w.text_member("value", secret.value.view());
  return w.finish();
}

Result<LtrPayload> decode_ltr_payload(std::span<const std::uint8_t> plaintext) {
  const auto doc = detail::read_json(std::string_view(reinterpret_cast<const char*>(plaintext.data()), plaintext.size()),
                                     detail::DuplicateMembers::last_wins);
  if (!doc) return fail(std::string(CORRUPT_EVENT));
  if (doc->type != detail::JsonType::object) return fail(std::string(UNSUPPORTED_EVENT));
  const auto kind = detail::string_member(*doc, "kind");
  if (!kind) return fail(std::string(UNSUPPORTED_EVENT));

  if (*kind == BLOB_KIND) {
    const auto blob_id = detail::string_member(*doc, "blob_id");
    const auto class_name = detail::string_member(*doc, "class");
    const auto url = detail::string_member(*doc, "url");
    const auto sha256 = detail::string_member(*doc, "sha256");
    const detail::JsonMember* encrypted = doc->find("encrypted");
    if (!blob_id || !class_name || !url || !sha256 || encrypted == nullptr ||
        encrypted->type != detail::JsonType::boolean) {
      return fail(std::string(CORRUPT_EVENT));
    }
    return BlobRecord{std::string(*kind),   std::string(*blob_id), std::string(*class_name),
                      std::string(*url),    encrypted->boolean,    std::string(*sha256)};
  }
  for (const std::string_view secret_kind : SECRET_KINDS) {
    if (*kind != secret_kind) continue;
    const auto label = detail::string_member(*doc, "label");
    const detail::JsonMember* value = doc->find("value");
    if (!label || value == nullptr || value->type != detail::JsonType::string) return fail(std::string(CORRUPT_EVENT));
    return SecretEvent{std::string(*kind), std::string(*label), SecretText(view(value->text))};
  }
  return fail(std::string(UNSUPPORTED_EVENT));
}

Result<std::vector<LtrPayload>> Persist::read_payloads() {
  auto frames = read_frames();
  if (!frames) return std::unexpected(frames.error());
  std::vector<LtrPayload> events;
  events.reserve(frames->size());
  for (const LtrFrame& frame : *frames) {
    const auto aad = ltr_aad(founder_id_, LTR_STREAM_LABEL, frame.sequence, frame.previous_digest);
    auto plaintext = decrypt(wrap_key_, aad, frame.nonce_b64, frame.ciphertext_b64);
    if (!plaintext) return std::unexpected(plaintext.error());
    auto event = decode_ltr_payload(*plaintext);
    sodium_memzero(plaintext->data(), plaintext->size());
    if (!event) return std::unexpected(event.error());
    events.push_back(std::move(*event));
  }
  return events;
}

}  // namespace kio::install
