// The UDP socket of the transport and every Noise session on it. The receive step
// answers handshakes itself, reports discovery packets, and turns a data packet
// of an established session into a message: one datagram per call, or every
// datagram waiting (up to a batch) per call of the batched step.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <sys/socket.h>
#include <unordered_map>
#include <variant>
#include <vector>

#include "p2p/error.h"
#include "p2p/identity.h"
#include "p2p/protocol.h"
#include "p2p/received_message.h"
#include "p2p/relationship.h"
#include "p2p/session.h"
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

// Any process on the machine can start handshakes, each from a new port, so the
// session table is bounded: beyond these numbers the oldest half-open (or failed)
// handshake makes room for the new one; only when there is none does the oldest
// established session give way.
struct SessionLimits {
  std::size_t max_handshaking = 1024;
  std::size_t max_sessions = 16384;
};

// Sessions leave the table when their peer is plainly gone: a handshake not
// complete this long after it began (or one that failed), and an established
// session that has delivered nothing and seen no handshake message this long.
inline constexpr std::chrono::seconds HANDSHAKE_TIMEOUT{10};
inline constexpr std::chrono::minutes SESSION_IDLE_TIMEOUT{10};
// The receive step looks for such sessions at most this often.
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

  P2PManager(P2PManager&& other) noexcept;
  P2PManager& operator=(P2PManager&& other) noexcept;
  P2PManager(const P2PManager&) = delete;
  P2PManager& operator=(const P2PManager&) = delete;
  ~P2PManager();

  P2PResult<SocketAddress> local_addr() const;

  // Waits up to `timeout` (positive; below 1 µs counts as 1 µs) for one datagram.
  // Nothing received and every handled handshake give no event.
  P2PResult<std::optional<P2PEvent>> recv_event_timeout(std::chrono::nanoseconds timeout);
  // The same, with discovery packets dropped.
  P2PResult<std::optional<ReceivedMessage>> recv_timeout(std::chrono::nanoseconds timeout);
  // Waits up to `timeout` (positive) for a datagram, then takes it and every
  // other datagram already waiting, up to RECEIVE_BATCH, in one system call, and
  // handles each in arrival order as recv_timeout does. Appends to `out`, in the
  // order they happened: each message, each error (a failed receive call is one
  // too), and the end of every established session that the step removed.
  void recv_batch(std::chrono::nanoseconds timeout, std::vector<ReceiveOutcome>& out);

  // Forgets the session and every address naming it; an unknown id changes nothing.
  void remove_session(std::uint64_t session_id);

  // One datagram: the 18-byte header, then the payload.
  P2PResult<void> send_packet_raw(const SocketAddress& to, MsgType msg_type, std::uint64_t session_id,
                                  std::uint8_t channel, std::uint64_t counter, std::span<const std::uint8_t> payload);

  // For inspection: the session with this id, or null.
  const PeerSession* find_session(std::uint64_t session_id) const;
  std::size_t session_count() const { return sessions_.size(); }
  // The session last set up from this address, if any.
  std::optional<std::uint64_t> session_for_address(const SocketAddress& address) const;

  void set_session_limits(SessionLimits limits) { limits_ = limits; }
  // The time source of session ages (tests step it by hand); the monotonic clock by default.
  void set_clock(std::function<Clock::time_point()> clock) {
    clock_ = std::move(clock);
    next_sweep_ = Clock::time_point::min();
  }
  const ReceiveStats& stats() const { return stats_; }

 private:
  P2PManager(int fd, const ParticipantId& local_participant, SessionIdentity identity,
             std::shared_ptr<RelationshipLookup> lookup);

  // Sets the socket's read time-out unless it is already that.
  P2PResult<void> set_read_timeout(std::chrono::nanoseconds timeout);
  P2PResult<std::optional<P2PEvent>> handle_datagram(std::span<const std::uint8_t> datagram,
                                                     const sockaddr_storage& source, socklen_t source_len,
                                                     Clock::time_point now);
  // Tells the caller of recv_batch that an established session is going.
  void note_session_end(const PeerSession& session);
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
  // Evicts one session so that one more fits within the limits: the oldest
  // half-open handshake, or failing that the oldest established session.
  void make_room_for_session();

  int fd_ = -1;
  std::shared_ptr<RelationshipLookup> lookup_;
  std::unordered_map<std::uint64_t, PeerSession> sessions_;
  std::map<SocketAddress, std::uint64_t> address_map_;
  std::deque<std::uint64_t> creation_order_;  // may hold ids already removed
  SessionLimits limits_;
  std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
  Clock::time_point next_sweep_ = Clock::time_point::min();
  ReceiveStats stats_;
  std::optional<std::chrono::nanoseconds> read_timeout_;  // as last set on the socket
  std::vector<ReceiveOutcome>* ended_sink_ = nullptr;    // during recv_batch
  std::vector<std::uint8_t> batch_buffer_;               // RECEIVE_BATCH datagrams
  SessionIdentity identity_;
  ParticipantId local_participant_;
};

}  // namespace kio::p2p
