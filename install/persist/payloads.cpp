#include "install/persist/payloads.h"

#include <sodium.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "install/crypto.h"
#include "install/json.h"
#include "install/persist/ltr_format.h"
#include "install/persist/sealed_record.h"

namespace kio::install {

namespace {

constexpr std::string_view CORRUPT_EVENT = "corrupt LTR event";
constexpr std::string_view UNSUPPORTED_EVENT = "unsupported LTR event";
constexpr std::string_view SECRET_KINDS[] = {"connector-noise", "third-party-secret"};

}  // namespace

Result<SecretBytes> serialize_ltr_payload(const LtrPayload& payload) {
  // An event that the reader would refuse is never written: one such frame
  // would make the whole log unreadable.
  if (const auto* blob = std::get_if<BlobRecord>(&payload)) {
    if (blob->kind != BLOB_KIND) return fail(std::string(UNSUPPORTED_EVENT));
    const std::size_t size =
        blob->kind.size() + blob->blob_id.size() + blob->class_name.size() + blob->url.size() + blob->sha256.size();
    return detail::write_secret_record(size, [&](json::Writer& w) {
      w.name("kind").string(blob->kind);
      w.name("blob_id").string(blob->blob_id);
      w.name("class").string(blob->class_name);
      w.name("url").string(blob->url);
      w.name("encrypted").boolean(blob->encrypted);
      w.name("sha256").string(blob->sha256);
    });
  }
  const auto& secret = std::get<SecretEvent>(payload);
  if (std::find(std::begin(SECRET_KINDS), std::end(SECRET_KINDS), secret.kind) == std::end(SECRET_KINDS)) {
    return fail(std::string(UNSUPPORTED_EVENT));
  }
  const std::size_t size = secret.kind.size() + secret.label.size() + secret.value.view().size();
  return detail::write_secret_record(size, [&](json::Writer& w) {
    w.name("kind").string(secret.kind);
    w.name("label").string(secret.label);
    w.name("value").string(secret.value.view());
  });
}

Result<LtrPayload> decode_ltr_payload(std::span<const std::uint8_t> plaintext) {
  const auto doc = json::read_record(as_text(plaintext), json::Duplicates::last_wins);
  if (!doc) return fail(std::string(CORRUPT_EVENT));
  if (doc->type != json::Type::object) return fail(std::string(UNSUPPORTED_EVENT));
  const auto kind = doc->string("kind");
  if (!kind) return fail(std::string(UNSUPPORTED_EVENT));

  if (*kind == BLOB_KIND) {
    const auto blob_id = doc->string("blob_id");
    const auto class_name = doc->string("class");
    const auto url = doc->string("url");
    const auto sha256 = doc->string("sha256");
    const auto encrypted = doc->boolean("encrypted");
    if (!blob_id || !class_name || !url || !sha256 || !encrypted) return fail(std::string(CORRUPT_EVENT));
    return BlobRecord{std::string(*kind), std::string(*blob_id), std::string(*class_name),
                      std::string(*url),  *encrypted,            std::string(*sha256)};
  }
  for (const std::string_view secret_kind : SECRET_KINDS) {
    if (*kind != secret_kind) continue;
    const auto label = doc->string("label");
    const auto value = doc->string("value");
    if (!label || !value) return fail(std::string(CORRUPT_EVENT));
    return SecretEvent{std::string(*kind), std::string(*label), SecretText(*value)};
  }
  return fail(std::string(UNSUPPORTED_EVENT));
}

Result<std::uint64_t> EventLog::append(const LtrPayload& payload, LogFollower* follower) const {
  return append(std::span<const LtrPayload>(&payload, 1), follower);
}

Result<std::uint64_t> EventLog::append(std::span<const LtrPayload> payloads, LogFollower* follower) const {
  if (auto ok = writable(); !ok) return std::unexpected(ok.error());
  std::size_t next = 0;  // the log seals the frames in order
  return log.append(
      payloads.size(),
      [&](std::uint64_t sequence, std::string_view previous_digest) -> Result<SealedEnvelope> {
        auto plaintext = serialize_ltr_payload(payloads[next++]);
        if (!plaintext) return std::unexpected(plaintext.error());
        const auto aad = ltr_aad(founder_id, LTR_STREAM_LABEL, sequence, previous_digest);
        auto sealed = encrypt(key, aad, *plaintext);
        sodium_memzero(plaintext->data(), plaintext->size());
        return sealed;
      },
      follower);
}

Result<LtrPayload> EventLog::open(const LtrFrameView& frame) const {
  const auto aad = ltr_aad(founder_id, LTR_STREAM_LABEL, frame.sequence, frame.previous_digest);
  auto plaintext = decrypt(key, aad, frame.nonce_b64, frame.ciphertext_b64);
  if (!plaintext) return std::unexpected(plaintext.error());
  auto event = decode_ltr_payload(*plaintext);
  sodium_memzero(plaintext->data(), plaintext->size());
  return event;
}

LtrResult<std::uint64_t> EventLog::visit(const std::function<void(std::uint64_t, LtrPayload&)>& visit) const {
  // The chain is read to its end even after a payload failed to open, so that
  // damage to the chain is what gets reported, as it is for a read of frames.
  std::optional<LtrFault> unopened;
  auto read = log.read([&](const LtrFrameView& frame, const FramePlace& place) {
    if (unopened) return;
    auto event = open(frame);
    if (!event) {
      unopened = LtrFault::at(event.error(), place.segment, place.line);
      return;
    }
    visit(frame.sequence, *event);
  });
  if (!read) return std::unexpected(read.error());
  if (unopened) return std::unexpected(*unopened);
  return read->tip.count;
}

}  // namespace kio::install
