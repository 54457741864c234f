// A session initiator over a real UDP socket: performs the whole handshake with a
// responder, then sends data packets. Used by tests, benchmarks and tools.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "common/file_io.h"
#include "common/secret.h"
#include "p2p/error.h"
#include "p2p/protocol.h"
#include "p2p/relationship.h"
#include "p2p/socket_address.h"
#include "peer/initiator.h"

namespace kio::peer {

class PeerClient {
 public:
  // Sends message 1, waits up to `timeout` for the responder's reply (datagrams
  // of other sessions are skipped) and, for XX, sends message 3. A responder that
  // refuses stays silent, which ends in a time-out error (answered_nothing()).
  // When the system learns that nothing listens at the target (a port
  // unreachable reply), the error says so at once (nothing_listens()).
  static p2p::P2PResult<PeerClient> connect(const p2p::SocketAddress& target, const SecretKey& static_key,
                                            const p2p::ParticipantId& me, p2p::HandshakePattern pattern,
                                            std::optional<std::array<std::uint8_t, 32>> responder_static,
                                            std::uint64_t session_id, std::chrono::milliseconds timeout);

  PeerClient(PeerClient&&) noexcept = default;
  PeerClient& operator=(PeerClient&&) noexcept = default;
  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;
  ~PeerClient() = default;

  // One data packet with the channel's next counter (0, 1, 2, ...); at most
  // MAX_DATA_PLAINTEXT_LEN (1466) bytes.
  p2p::P2PResult<void> send(std::uint8_t channel, std::span<const std::uint8_t> plaintext);
  // One data packet with an explicit counter; the channel's own counter is untouched.
  p2p::P2PResult<void> send_with_counter(std::uint8_t channel, std::uint64_t counter,
                                         std::span<const std::uint8_t> plaintext);
  // Raw bytes as one datagram, for malformed packets.
  p2p::P2PResult<void> send_datagram(std::span<const std::uint8_t> bytes);

  const p2p::StaticKey& remote_static() const { return *session_.remote_static(); }
  const p2p::ParticipantId& remote_participant() const { return *session_.remote_participant(); }
  std::uint64_t session_id() const { return session_.session_id(); }
  const p2p::SocketAddress& target() const { return target_; }
  p2p::P2PResult<p2p::SocketAddress> local_addr() const;

 private:
  PeerClient(Fd socket, const p2p::SocketAddress& target, InitiatorSession session)
      : socket_(std::move(socket)), target_(target), session_(std::move(session)) {}

  Fd socket_;
  p2p::SocketAddress target_;
  InitiatorSession session_;
};

// Whether an error of connect() or of a send means that nothing listens at the
// target, as the system learnt from a port unreachable reply.
bool nothing_listens(const p2p::P2PError& error);
// Whether connect() waited its whole time-out without a reply.
bool answered_nothing(const p2p::P2PError& error);

}  // namespace kio::peer
