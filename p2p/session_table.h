// The sessions of one UDP socket: found by id, or by the address they were set up
// from, kept within limits and swept when their peer is plainly gone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "p2p/error.h"
#include "p2p/session.h"
#include "p2p/socket_address.h"

namespace kio::p2p {

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

// What one sweep removed.
struct SweepCounts {
  std::uint64_t handshakes = 0;     // half-open or failed handshakes past HANDSHAKE_TIMEOUT
  std::uint64_t idle_sessions = 0;  // established sessions idle past SESSION_IDLE_TIMEOUT
};

class SessionTable {
 public:
  using Clock = PeerSession::Clock;

  // Hears of every established session that leaves the table, whichever road it
  // takes (removed, replaced, evicted or swept).
  class EndReporter {
   public:
    virtual ~EndReporter() = default;
    virtual void session_ended(std::uint64_t session_id) = 0;
  };

  // The reporter told from now on; null tells nobody.
  void set_end_reporter(EndReporter* reporter) { reporter_ = reporter; }

  PeerSession* find(std::uint64_t session_id);
  const PeerSession* find(std::uint64_t session_id) const;
  // The session last set up from this address, if any.
  std::optional<std::uint64_t> for_address(const SocketAddress& address) const;
  std::size_t size() const { return sessions_.size(); }
  // Sessions still shaking hands (neither established nor failed).
  std::size_t handshaking() const { return handshaking_; }

  void set_limits(SessionLimits limits) { limits_ = limits; }

  // Takes in a new session (its id not in the table), started `now`, as the
  // session of the address it was set up from. To stay within the limits it
  // first evicts the oldest half-open handshake, or failing that the oldest
  // session that is not established, or failing that the oldest of all.
  void insert(PeerSession session, Clock::time_point now);
  // Hands one handshake message to a session of this table. Every handshake
  // message goes through here, as it is what moves a session out of its
  // handshake, and the table counts the sessions still in theirs.
  P2PResult<std::optional<std::vector<std::uint8_t>>> read_handshake_message(PeerSession& session,
                                                                            std::span<const std::uint8_t> message);
  // Forgets the session and its address; an unknown id changes nothing.
  void remove(std::uint64_t session_id);
  // Removes every session past its time.
  SweepCounts sweep(Clock::time_point now);

 private:
  void evict_for_new_session();
  // Removes the oldest session that `pick` accepts; false when there is none.
  template <typename Pick>
  bool evict_oldest(const Pick& pick);
  // Bookkeeping of a session about to leave: its address, the count, the report.
  void forget(const PeerSession& session);

  std::unordered_map<std::uint64_t, PeerSession> sessions_;
  // Each address names the live session last set up from it.
  std::map<SocketAddress, std::uint64_t> by_address_;
  std::deque<std::uint64_t> creation_order_;  // may hold ids already removed
  std::size_t handshaking_ = 0;
  SessionLimits limits_;
  EndReporter* reporter_ = nullptr;
};

}  // namespace kio::p2p
