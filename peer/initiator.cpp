#include "peer/initiator.h"

#include <sodium.h>

#include <cstring>
#include <string>
#include <string_view>

#include "common/sodium_ready.h"
#include "common/utf8.h"
#include "p2p/session.h"

namespace kio::peer {

using p2p::P2PError;
using p2p::P2PErrorKind;
using p2p::p2p_fail;
using p2p::P2PResult;

namespace {

std::span<const std::uint8_t> text_bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

InitiatorSession::InitiatorSession(std::uint64_t session_id, const p2p::ParticipantId& me,
                                   p2p::HandshakePattern pattern, const p2p::StaticKey& local_static,
                                   p2p::noise::HandshakeState handshake)
    : session_id_(session_id), me_(me), pattern_(pattern), local_static_(local_static), handshake_(std::move(handshake)) {}

P2PResult<InitiatorSession> InitiatorSession::create(std::uint64_t session_id, const SecretKey& static_key,
                                                     const p2p::ParticipantId& me, p2p::HandshakePattern pattern,
                                                     std::optional<p2p::StaticKey> responder_static) {
  sodium_ready();
  p2p::StaticKey local_static;
  if (crypto_scalarmult_base(local_static.data(), static_key.data()) != 0) {
    return p2p_fail(P2PError(P2PErrorKind::InvalidSessionIdentity));
  }
  p2p::noise::HandshakeConfig config;
  config.pattern = pattern;
  config.role = p2p::noise::Role::Initiator;
  config.local_static = static_key;
  config.local_static_public = local_static;
  config.remote_static = responder_static;
  auto handshake = p2p::noise::HandshakeState::create(std::move(config));
  if (!handshake) return p2p_fail(handshake.error());
  return InitiatorSession(session_id, me, pattern, local_static, std::move(*handshake));
}

std::optional<p2p::StaticKey> InitiatorSession::envelope_identity() const {
  if (pattern_ == p2p::HandshakePattern::KK) return local_static_;
  return std::nullopt;
}

P2PResult<std::vector<std::uint8_t>> InitiatorSession::write_first_message() {
  if (!handshake_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  std::string payload;
  if (pattern_ == p2p::HandshakePattern::KK) payload = me_.to_string();
  return handshake_->write_message(text_bytes(payload), p2p::HANDSHAKE_BUFFER_LEN);
}

P2PResult<std::optional<std::vector<std::uint8_t>>> InitiatorSession::read_reply(
    std::span<const std::uint8_t> noise_message) {
  if (!handshake_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  auto payload = handshake_->read_message(noise_message, p2p::HANDSHAKE_BUFFER_LEN);
  if (!payload) return p2p_fail(payload.error());
  const std::string_view text(reinterpret_cast<const char*>(payload->data()), payload->size());
  if (!is_valid_utf8(text)) return p2p_fail(P2PError(P2PErrorKind::InvalidParticipantId));
  auto participant = p2p::ParticipantId::from_str(text);
  if (!participant) return p2p_fail(participant.error());

  std::optional<std::vector<std::uint8_t>> answer;
  if (!handshake_->is_finished()) {
    const std::string me = me_.to_string();
    auto message = handshake_->write_message(text_bytes(me), p2p::HANDSHAKE_BUFFER_LEN);
    if (!message) return p2p_fail(message.error());
    answer = std::move(*message);
  }
  auto transport = handshake_->into_stateless_transport();
  if (!transport) return p2p_fail(transport.error());
  remote_participant_ = *participant;
  remote_static_ = handshake_->remote_static();
  handshake_hash_ = handshake_->handshake_hash();
  transport_.emplace(std::move(*transport));
  handshake_.reset();
  return answer;
}

P2PResult<std::vector<std::uint8_t>> InitiatorSession::handshake_datagram(
    std::span<const std::uint8_t> noise_message) const {
  auto envelope = p2p::encode_handshake(pattern_, envelope_identity(), noise_message);
  if (!envelope) return p2p_fail(envelope.error());
  return p2p::encode_packet(p2p::MsgType::Handshake, session_id_, 0, 0, *envelope);
}

P2PResult<std::vector<std::uint8_t>> InitiatorSession::data_datagram(std::uint8_t channel, std::uint64_t counter,
                                                                     std::span<const std::uint8_t> plaintext) const {
  if (!transport_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  if (plaintext.size() > p2p::MAX_DATA_PLAINTEXT_LEN) return p2p_fail(P2PError(P2PErrorKind::MessageTooLarge));
  std::vector<std::uint8_t> datagram(p2p::HEADER_LEN + plaintext.size() + p2p::AEAD_TAG_LEN);
  p2p::encode_header({p2p::MsgType::Data, session_id_, channel, counter},
                     std::span<std::uint8_t, p2p::HEADER_LEN>(datagram.data(), p2p::HEADER_LEN));
  auto sealed = transport_->encrypt(p2p::data_nonce(channel, counter), plaintext,
                                    std::span<std::uint8_t>(datagram).subspan(p2p::HEADER_LEN));
  if (!sealed) return p2p_fail(sealed.error());
  return datagram;
}

P2PResult<std::vector<std::uint8_t>> InitiatorSession::next_data_datagram(std::uint8_t channel,
                                                                          std::span<const std::uint8_t> plaintext) {
  const std::uint64_t counter = next_counter_[channel];
  // Beyond the low 56 bits the nonce would repeat.
  if (counter > p2p::COUNTER_NONCE_MASK) {
    return p2p_fail(P2PError::other("channel " + std::to_string(channel) + " has used all of its packet counters"));
  }
  auto datagram = data_datagram(channel, counter, plaintext);
  if (datagram) ++next_counter_[channel];
  return datagram;
}

}  // namespace kio::peer
