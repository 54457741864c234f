// One Noise session with one peer, identified by the session id the peer chose.
// This side is always the responder: XX completes after reading message 3, KK
// after writing message 2. Every encrypted handshake payload is the sender's
// participant id in canonical text; the first XX message is plain and empty.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "p2p/error.h"
#include "p2p/identity.h"
#include "p2p/noise.h"
#include "p2p/protocol.h"
#include "p2p/relationship.h"
#include "p2p/replay_window.h"
#include "p2p/socket_address.h"

namespace kio::p2p {

// Room for one handshake payload on read and one handshake message on write.
inline constexpr std::size_t HANDSHAKE_BUFFER_LEN = 1024;

class PeerSession {
 public:
  enum class State { Handshaking, Transport, Failed };

  // KK needs the initiator's static key (the accepted relationship's), else
  // RelationshipNotAccepted; XX takes none into the handshake.
  static P2PResult<PeerSession> new_responder(std::uint64_t session_id, const SocketAddress& peer_address,
                                              const SessionIdentity& identity, const ParticipantId& local_participant,
                                              HandshakePattern pattern, std::optional<StaticKey> remote_static,
                                              std::optional<ParticipantId> remote_participant);

  PeerSession(PeerSession&&) noexcept = default;
  PeerSession& operator=(PeerSession&&) noexcept = default;

  // Reads one handshake message; returns the reply to send, if the pattern has one.
  P2PResult<std::optional<std::vector<std::uint8_t>>> read_handshake_message(std::span<const std::uint8_t> message);
  P2PResult<std::vector<std::uint8_t>> write_handshake_message();
  // Checks who the peer turned out to be and switches to transport; on failure the
  // handshake is gone and the session stays Failed.
  P2PResult<void> promote_to_transport();
  // Nonce from channel and counter. Decryption alone remembers nothing: a repeated
  // packet decrypts again, and admit_counter is what refuses it.
  P2PResult<std::vector<std::uint8_t>> decrypt_on_channel(std::uint8_t channel_id, std::uint64_t counter,
                                                          std::span<const std::uint8_t> ciphertext) const;
  // Checks the counter of a packet that authenticated against the channel's replay
  // window (made here on the channel's first such packet) and records it if fresh.
  ReplayVerdict admit_counter(std::uint8_t channel_id, std::uint64_t counter) {
    return replay_windows_.check_and_record(channel_id, counter);
  }
  const ReplayWindows& replay_windows() const { return replay_windows_; }

  // When the manager took the session in, and when the peer last showed it is there
  // (a handshake message read, or a data packet delivered). The manager sets both
  // from its own clock; they start at the time of creation.
  using Clock = std::chrono::steady_clock;
  Clock::time_point started_at() const { return started_at_; }
  Clock::time_point last_active() const { return last_active_; }
  void set_started(Clock::time_point now) { started_at_ = last_active_ = now; }
  void set_active(Clock::time_point now) { last_active_ = now; }

  State state() const;
  std::uint64_t session_id() const { return session_id_; }
  const SocketAddress& peer_address() const { return peer_address_; }
  HandshakePattern pattern() const { return pattern_; }
  bool is_responder() const { return is_responder_; }
  const ParticipantId& local_participant() const { return local_participant_; }
  const std::optional<StaticKey>& envelope_identity() const { return envelope_identity_; }
  const std::optional<StaticKey>& expected_remote_static() const { return expected_remote_static_; }
  const std::optional<StaticKey>& remote_static() const { return remote_static_; }
  const std::optional<ParticipantId>& expected_remote_participant() const { return expected_remote_participant_; }
  const std::optional<ParticipantId>& remote_participant() const { return remote_participant_; }
  std::uint8_t messages_written() const { return messages_written_; }
  std::uint8_t messages_read() const { return messages_read_; }

 private:
  PeerSession(std::uint64_t session_id, const SocketAddress& peer_address, const ParticipantId& local_participant,
              HandshakePattern pattern, noise::HandshakeState handshake);

  std::optional<noise::HandshakeState> handshake_;
  SocketAddress peer_address_;
  std::optional<noise::Transport> transport_;
  ReplayWindows replay_windows_;
  Clock::time_point started_at_ = Clock::now();
  Clock::time_point last_active_ = started_at_;
  std::uint64_t session_id_;
  ParticipantId local_participant_;
  bool is_responder_ = true;
  HandshakePattern pattern_;
  std::optional<StaticKey> expected_remote_static_;
  std::optional<StaticKey> remote_static_;
  std::optional<StaticKey> envelope_identity_;
  std::optional<ParticipantId> expected_remote_participant_;
  std::optional<ParticipantId> remote_participant_;
  std::uint8_t messages_written_ = 0;  // wraps at 256
  std::uint8_t messages_read_ = 0;     // wraps at 256
};

}  // namespace kio::p2p
