// The UDP socket of the transport and every Noise session on it. The receive step
// answers handshakes itself, reports discovery packets, and turns a data packet
// of an established session into a message: every datagram waiting (up to a
// batch) per call of the batched step, or one datagram per call, a batch of one.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "common/file_io.h"
#include "p2p/error.h"
#include "p2p/identity.h"
#include "p2p/protocol.h"
#include "p2p/received_message.h"
#include "p2p/relationship.h"
#include "p2p/session.h"
#include "p2p/session_table.h"
#include "p2p/socket_address.h"

namespace kio::p2p {

// The lookup that knows nobody: with it every KK handshake is refused.
class EmptyRelationshipLookup final : public RelationshipLookup {
 public:
  P2PResult<std::optional<RelationshipRecord>> by_participant_id(const ParticipantId&) const override {
    return std::nullopt;
  }
  P2PResult<std::optional<RelationshipRecord>> by_remote_static(const StaticKey&) const override {
    return std::nullopt;
  }
};

struct Discovery {
  std::vector<std::uint8_t> payload;  // 1 to 1024 bytes
  SocketAddress from;
};

using P2PEvent = std::variant<ReceivedMessage, Discovery>;

// An established session that the manager removed (swept as idle, replaced by a
// new handshake from its address, evicted or failed): what a caller keeps for
// it can go too.
struct SessionEnded {
  std::uint64_t session_id = 0;
};

// What the batched receive step hands its caller, in the order it happened.
using ReceiveOutcome = std::variant<ReceivedMessage, P2PError, SessionEnded>;

// Datagrams taken by one call of the batched receive step at most.
inline constexpr std::size_t RECEIVE_BATCH = 64;

// Size the socket's receive buffer asks for, so that a bulk stream survives the
// receive thread waiting for a processor on a busy machine: about a quarter of a
// second of a fast stream. Kernel memory, not the process's; without the
// privilege to force it, the system's limit (net.core.rmem_max) caps it.
inline constexpr int RECEIVE_BUFFER_BYTES = 32 * 1024 * 1024;

// The receive step looks for sessions past their time (HANDSHAKE_TIMEOUT,
// SESSION_IDLE_TIMEOUT) at most this often.
inline constexpr std::chrono::seconds SWEEP_INTERVAL{1};

// What the receive step dropped without a word to its caller.
struct ReceiveStats {
  std::uint64_t replayed = 0;            // authenticated, but the counter was seen before
  std::uint64_t too_old = 0;             // authenticated, but too far behind the channel's highest counter
  std::uint64_t no_window = 0;           // authenticated, on a channel beyond the session's windows
  std::uint64_t handshakes_swept = 0;    // half-open or failed handshakes past HANDSHAKE_TIMEOUT
  std::uint64_t idle_sessions_swept = 0;  // established sessions idle past SESSION_IDLE_TIMEOUT
};

class P2PManager {
 public:
  using Clock = std::chrono::steady_clock;

  static P2PResult<P2PManager> create(const SocketAddress& bind, const ParticipantId& local_participant,
                                      SessionIdentity identity);
  static P2PResult<P2PManager> with_relationship_lookup(const SocketAddress& bind,
                                                        const ParticipantId& local_participant,
                                                        SessionIdentity identity,
                                                        std::shared_ptr<RelationshipLookup> lookup);

  P2PManager(P2PManager&&) noexcept = default;
  P2PManager& operator=(P2PManager&&) noexcept = default;
  P2PManager(const P2PManager&) = delete;
  P2PManager& operator=(const P2PManager&) = delete;
  ~P2PManager() = default;

  P2PResult<SocketAddress> local_addr() const;

  // Waits up to `timeout` (positive; below 1 µs counts as 1 µs) for a datagram,
  // then takes it and every other datagram already waiting, up to RECEIVE_BATCH,
  // in one system call, and handles each in arrival order: answers handshakes,
  // drops discovery packets, decrypts data. Appends to `out`, in the order they
  // happened: each message, each error (a failed receive call is one too; a wait
  // cut short by a signal is not), and the end of every established session that
  // the step removed.
  void recv_batch(std::chrono::nanoseconds timeout, std::vector<ReceiveOutcome>& out);
  // The same step with a batch of one datagram, which it reports as an event.
  // Nothing received and every handled handshake give no event; the end of a
  // session is not reported.
  P2PResult<std::optional<P2PEvent>> recv_event_timeout(std::chrono::nanoseconds timeout);
  // The same, with discovery packets dropped.
  P2PResult<std::optional<ReceivedMessage>> recv_timeout(std::chrono::nanoseconds timeout);

  // Forgets the session and every address naming it; an unknown id changes nothing.
  void remove_session(std::uint64_t session_id);

  // One datagram: the 18-byte header, then the payload.
  P2PResult<void> send_packet_raw(const SocketAddress& to, MsgType msg_type, std::uint64_t session_id,
                                  std::uint8_t channel, std::uint64_t counter, std::span<const std::uint8_t> payload);

  // For inspection: the session with this id, or null.
  const PeerSession* find_session(std::uint64_t session_id) const { return sessions_.find(session_id); }
  std::size_t session_count() const { return sessions_.size(); }
  // The session last set up from this address, if any.
  std::optional<std::uint64_t> session_for_address(const SocketAddress& address) const {
    return sessions_.for_address(address);
  }

  void set_session_limits(SessionLimits limits) { sessions_.set_limits(limits); }
  // The time source of session ages (tests step it by hand); the monotonic clock by default.
  void set_clock(std::function<Clock::time_point()> clock) {
    clock_ = std::move(clock);
    next_sweep_ = Clock::time_point::min();
  }
  const ReceiveStats& stats() const { return stats_; }

 private:
  P2PManager(Fd socket, const ParticipantId& local_participant, SessionIdentity identity,
             std::shared_ptr<RelationshipLookup> lookup);

  // The one receive step: waits up to `timeout` for a datagram, then takes it and
  // the others already waiting, up to `max_datagrams` (at most RECEIVE_BATCH), and
  // handles each in arrival order. Messages, errors and ended sessions go to
  // `out`; the discovery packet of a batch of one to `discovery`, when given.
  void receive(std::chrono::nanoseconds timeout, std::size_t max_datagrams, std::vector<ReceiveOutcome>& out,
               std::optional<Discovery>* discovery);
  // Sets the socket's read time-out unless it is already that.
  P2PResult<void> set_read_timeout(std::chrono::nanoseconds timeout);
  P2PResult<std::optional<P2PEvent>> handle_datagram(std::span<const std::uint8_t> datagram,
                                                     const sockaddr_storage& source, socklen_t source_len,
                                                     Clock::time_point now);
  P2PResult<std::optional<P2PEvent>> handle_data(const PacketHeader& header, std::span<const std::uint8_t> payload,
                                                 Clock::time_point now);
  P2PResult<void> handle_handshake(const PacketHeader& header, std::span<const std::uint8_t> payload,
                                   const SocketAddress& from, Clock::time_point now);
  P2PResult<void> continue_handshake(PeerSession& session, const HandshakeEnvelope& envelope,
                                     const SocketAddress& from, Clock::time_point now);
  P2PResult<void> start_handshake(std::uint64_t session_id, const HandshakeEnvelope& envelope,
                                  const SocketAddress& from, Clock::time_point now);
  // Removes sessions past their time, once per SWEEP_INTERVAL.
  void sweep_if_due(Clock::time_point now);
  P2PResult<void> send_handshake_reply(const PeerSession& session, const SocketAddress& to,
                                       std::span<const std::uint8_t> noise_message);

  Fd socket_;
  std::shared_ptr<RelationshipLookup> lookup_;
  SessionTable sessions_;
  std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
  Clock::time_point next_sweep_ = Clock::time_point::min();
  ReceiveStats stats_;
  std::optional<std::chrono::nanoseconds> read_timeout_;  // as last set on the socket
  std::vector<std::uint8_t> batch_buffer_;               // RECEIVE_BATCH datagrams
  std::vector<ReceiveOutcome> single_outcomes_;          // the step's outcomes for a batch of one, kept for reuse
  SessionIdentity identity_;
  ParticipantId local_participant_;
};

}  // namespace kio::p2p
