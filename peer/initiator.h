// The initiating side of a session, without a socket: builds the first handshake
// message, reads the responder's reply (answering it with message 3 for XX), then
// seals data packets with per-channel counters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/noise.h"
#include "p2p/protocol.h"
#include "p2p/relationship.h"

namespace kio::peer {

struct InitiatorTestSeam;  // peer/initiator_testing.h

class InitiatorSession {
 public:
  // KK needs the responder's static key; XX refuses one.
  static p2p::P2PResult<InitiatorSession> create(std::uint64_t session_id, const SecretKey& static_key,
                                                 const p2p::ParticipantId& me, p2p::HandshakePattern pattern,
                                                 std::optional<p2p::StaticKey> responder_static);

  std::uint64_t session_id() const { return session_id_; }
  p2p::HandshakePattern pattern() const { return pattern_; }
  const p2p::StaticKey& local_static() const { return local_static_; }
  // What our envelopes carry: our static public key for KK, nothing for XX.
  std::optional<p2p::StaticKey> envelope_identity() const;

  // Message 1: XX sends only an ephemeral key and no payload; KK already carries
  // our participant id.
  p2p::P2PResult<std::vector<std::uint8_t>> write_first_message();
  // The responder's message 2, whose payload must be its participant id. For XX the
  // answer (message 3, with our participant id) is returned for sending. On success
  // the session is ready for data.
  p2p::P2PResult<std::optional<std::vector<std::uint8_t>>> read_reply(std::span<const std::uint8_t> noise_message);

  bool is_transport() const { return transport_.has_value(); }
  const std::optional<p2p::StaticKey>& remote_static() const { return remote_static_; }
  const std::optional<p2p::ParticipantId>& remote_participant() const { return remote_participant_; }
  std::optional<p2p::noise::HandshakeHash> handshake_hash() const { return handshake_hash_; }

  // A handshake datagram: header (type 0, channel 0, counter 0) and envelope.
  p2p::P2PResult<std::vector<std::uint8_t>> handshake_datagram(std::span<const std::uint8_t> noise_message) const;
  // A data datagram with an explicit counter. At most MAX_DATA_PLAINTEXT_LEN bytes:
  // anything longer would be cut by the receiver.
  p2p::P2PResult<std::vector<std::uint8_t>> data_datagram(std::uint8_t channel, std::uint64_t counter,
                                                          std::span<const std::uint8_t> plaintext) const;
  // The same with the channel's own counter, from 0 up; a channel refuses to go on
  // once its 2^56 distinct nonces are used.
  p2p::P2PResult<std::vector<std::uint8_t>> next_data_datagram(std::uint8_t channel,
                                                               std::span<const std::uint8_t> plaintext);
  std::uint64_t next_counter(std::uint8_t channel) const { return next_counter_[channel]; }

 private:
  friend struct InitiatorTestSeam;  // a fixed ephemeral key, for reproducible tests only

  InitiatorSession(std::uint64_t session_id, const p2p::ParticipantId& me, p2p::HandshakePattern pattern,
                   const p2p::StaticKey& local_static, p2p::noise::HandshakeState handshake);

  std::uint64_t session_id_;
  p2p::ParticipantId me_;
  p2p::HandshakePattern pattern_;
  p2p::StaticKey local_static_;
  std::optional<p2p::noise::HandshakeState> handshake_;
  std::optional<p2p::noise::Transport> transport_;
  std::optional<p2p::StaticKey> remote_static_;
  std::optional<p2p::ParticipantId> remote_participant_;
  std::optional<p2p::noise::HandshakeHash> handshake_hash_;
  std::array<std::uint64_t, 256> next_counter_{};
};

}  // namespace kio::peer
