#include "p2p/session.h"

#include <string_view>

#include "common/utf8.h"

namespace kio::p2p {

PeerSession::PeerSession(std::uint64_t session_id, const SocketAddress& peer_address,
                         const ParticipantId& local_participant, HandshakePattern pattern,
                         noise::HandshakeState handshake)
    : handshake_(std::move(handshake)),
      peer_address_(peer_address),
      session_id_(session_id),
      local_participant_(local_participant),
      pattern_(pattern) {}

P2PResult<PeerSession> PeerSession::new_responder(std::uint64_t session_id, const SocketAddress& peer_address,
                                                  const SessionIdentity& identity,
                                                  const ParticipantId& local_participant, HandshakePattern pattern,
                                                  std::optional<StaticKey> remote_static,
                                                  std::optional<ParticipantId> remote_participant) {
  noise::HandshakeConfig config;
  config.pattern = pattern;
  config.role = noise::Role::Responder;
  config.local_static = identity.private_key();
  config.local_static_public = identity.public_key();
  if (pattern == HandshakePattern::KK) {
    if (!remote_static) return p2p_fail(P2PError(P2PErrorKind::RelationshipNotAccepted));
    config.remote_static = remote_static;
  }
  auto handshake = noise::HandshakeState::create(std::move(config));
  if (!handshake) return p2p_fail(handshake.error());

  PeerSession session(session_id, peer_address, local_participant, pattern, std::move(*handshake));
  session.expected_remote_static_ = remote_static;
  if (pattern == HandshakePattern::KK) session.envelope_identity_ = remote_static;
  session.expected_remote_participant_ = std::move(remote_participant);
  return session;
}

PeerSession::State PeerSession::state() const {
  if (transport_) return State::Transport;
  if (handshake_) return State::Handshaking;
  return State::Failed;
}

P2PResult<std::optional<std::vector<std::uint8_t>>> PeerSession::read_handshake_message(
    std::span<const std::uint8_t> message) {
  if (!handshake_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  auto payload = handshake_->read_message(message, HANDSHAKE_BUFFER_LEN);
  if (!payload) return p2p_fail(payload.error());
  ++messages_read_;

  if (pattern_ == HandshakePattern::XX && is_responder_ && messages_read_ == 1) {
    // The first XX message travels before any key exists: nothing may ride on it.
    if (!payload->empty()) return p2p_fail(P2PError::wire_format("participant UUID in initial XX message"));
  } else {
    const std::string_view text(reinterpret_cast<const char*>(payload->data()), payload->size());
    if (!is_valid_utf8(text)) return p2p_fail(P2PError(P2PErrorKind::InvalidParticipantId));
    auto participant = ParticipantId::from_str(text);
    if (!participant) return p2p_fail(participant.error());
    if (expected_remote_participant_ && *expected_remote_participant_ != *participant) {
      return p2p_fail(P2PError(P2PErrorKind::RemoteIdentityMismatch));
    }
    remote_participant_ = *participant;
  }

  if (handshake_->is_finished()) {
    if (auto promoted = promote_to_transport(); !promoted) return p2p_fail(promoted.error());
    return std::nullopt;
  }
  auto reply = write_handshake_message();
  if (!reply) return p2p_fail(reply.error());
  if (handshake_ && handshake_->is_finished()) {
    if (auto promoted = promote_to_transport(); !promoted) return p2p_fail(promoted.error());
  }
  return std::optional<std::vector<std::uint8_t>>(std::move(*reply));
}

P2PResult<std::vector<std::uint8_t>> PeerSession::write_handshake_message() {
  if (!handshake_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  std::string participant_text;
  if (!(pattern_ == HandshakePattern::XX && !is_responder_ && messages_written_ == 0)) {
    participant_text = local_participant_.to_string();
  }
  const std::span<const std::uint8_t> payload(reinterpret_cast<const std::uint8_t*>(participant_text.data()),
                                              participant_text.size());
  auto message = handshake_->write_message(payload, HANDSHAKE_BUFFER_LEN);
  if (!message) return p2p_fail(message.error());
  ++messages_written_;
  return message;
}

P2PResult<void> PeerSession::promote_to_transport() {
  if (!handshake_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  // Taken out first: whatever fails below, the handshake does not come back.
  const noise::HandshakeState handshake = std::move(*handshake_);
  handshake_.reset();

  const P2PError mismatch(P2PErrorKind::RemoteIdentityMismatch);
  const std::optional<StaticKey> learned = handshake.remote_static();
  if (!learned) return p2p_fail(mismatch);
  if (expected_remote_static_ && *expected_remote_static_ != *learned) return p2p_fail(mismatch);
  if (!remote_participant_) return p2p_fail(mismatch);
  if (expected_remote_participant_ && *expected_remote_participant_ != *remote_participant_) {
    return p2p_fail(mismatch);
  }
  auto transport = handshake.into_stateless_transport();
  if (!transport) return p2p_fail(transport.error());
  transport_.emplace(std::move(*transport));
  remote_static_ = learned;
  return {};
}

P2PResult<std::vector<std::uint8_t>> PeerSession::decrypt_on_channel(std::uint8_t channel_id, std::uint64_t counter,
                                                                     std::span<const std::uint8_t> ciphertext) const {
  if (!transport_) return p2p_fail(P2PError(P2PErrorKind::HandshakeNotComplete));
  std::vector<std::uint8_t> plaintext(ciphertext.size() > noise::TAG_LEN ? ciphertext.size() - noise::TAG_LEN : 0);
  auto written = transport_->decrypt(data_nonce(channel_id, counter), ciphertext, plaintext);
  if (!written) return p2p_fail(written.error());
  return plaintext;
}

}  // namespace kio::p2p
