#include "p2p/p2pmanager.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/os_error.h"

namespace kio::p2p {
namespace {

P2PError io_error(int err) { return P2PError::io(os_error_text(err)); }

// Best effort: a larger buffer absorbs bursts of a bulk stream while the loop is
// busy elsewhere. Forcing past the system limit needs privileges, so fall back to
// the ordinary request, which the kernel caps silently.
void enlarge_receive_buffer(int fd) {
  const int bytes = RECEIVE_BUFFER_BYTES;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

timeval to_timeval(std::chrono::nanoseconds timeout) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds);
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds.count());
  tv.tv_usec = static_cast<suseconds_t>(micros.count());
  // A zero timeval would mean "wait for ever".
  if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
  return tv;
}

}  // namespace

P2PManager::P2PManager(int fd, const ParticipantId& local_participant, SessionIdentity identity,
                       std::shared_ptr<RelationshipLookup> lookup)
    : fd_(fd), lookup_(std::move(lookup)), identity_(std::move(identity)), local_participant_(local_participant) {}

P2PManager::P2PManager(P2PManager&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      lookup_(std::move(other.lookup_)),
      sessions_(std::move(other.sessions_)),
      address_map_(std::move(other.address_map_)),
      creation_order_(std::move(other.creation_order_)),
      limits_(other.limits_),
      clock_(std::move(other.clock_)),
      next_sweep_(other.next_sweep_),
      stats_(other.stats_),
      read_timeout_(other.read_timeout_),
      batch_buffer_(std::move(other.batch_buffer_)),
      identity_(std::move(other.identity_)),
      local_participant_(other.local_participant_) {}

P2PManager& P2PManager::operator=(P2PManager&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    lookup_ = std::move(other.lookup_);
    sessions_ = std::move(other.sessions_);
    address_map_ = std::move(other.address_map_);
    creation_order_ = std::move(other.creation_order_);
    limits_ = other.limits_;
    clock_ = std::move(other.clock_);
    next_sweep_ = other.next_sweep_;
    stats_ = other.stats_;
    read_timeout_ = other.read_timeout_;
    batch_buffer_ = std::move(other.batch_buffer_);
    identity_ = std::move(other.identity_);
    local_participant_ = other.local_participant_;
  }
  return *this;
}

P2PManager::~P2PManager() {
  if (fd_ >= 0) ::close(fd_);
}

P2PResult<P2PManager> P2PManager::create(const SocketAddress& bind, const ParticipantId& local_participant,
                                         SessionIdentity identity) {
  return with_relationship_lookup(bind, local_participant, std::move(identity),
                                  std::make_shared<EmptyRelationshipLookup>());
}

P2PResult<P2PManager> P2PManager::with_relationship_lookup(const SocketAddress& bind,
                                                           const ParticipantId& local_participant,
                                                           SessionIdentity identity,
                                                           std::shared_ptr<RelationshipLookup> lookup) {
  if (!lookup) lookup = std::make_shared<EmptyRelationshipLookup>();
  const int fd = ::socket(bind.raw()->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return p2p_fail(io_error(errno));
  if (::bind(fd, bind.raw(), bind.raw_len()) != 0) {
    const int err = errno;
    ::close(fd);
    return p2p_fail(io_error(err));
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(fd);
    return p2p_fail(io_error(err));
  }
  enlarge_receive_buffer(fd);
  return P2PManager(fd, local_participant, std::move(identity), std::move(lookup));
}

P2PResult<SocketAddress> P2PManager::local_addr() const {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &len) != 0) return p2p_fail(io_error(errno));
  auto address = SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), len);
  if (!address) return p2p_fail(io_error(EAFNOSUPPORT));
  return *address;
}

P2PResult<std::optional<ReceivedMessage>> P2PManager::recv_timeout(std::chrono::nanoseconds timeout) {
  auto event = recv_event_timeout(timeout);
  if (!event) return p2p_fail(std::move(event.error()));
  if (!*event) return std::nullopt;
  if (auto* message = std::get_if<ReceivedMessage>(&**event)) return std::move(*message);
  return std::nullopt;
}

P2PResult<void> P2PManager::set_read_timeout(std::chrono::nanoseconds timeout) {
  if (timeout <= std::chrono::nanoseconds::zero()) return p2p_fail(io_error(EINVAL));
  if (read_timeout_ == timeout) return {};
  const timeval tv = to_timeval(timeout);
  read_timeout_.reset();
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return p2p_fail(io_error(errno));
  read_timeout_ = timeout;
  return {};
}

P2PResult<std::optional<P2PEvent>> P2PManager::recv_event_timeout(std::chrono::nanoseconds timeout) {
  std::array<std::uint8_t, MAX_DATAGRAM_LEN> buffer{};
  if (auto set = set_read_timeout(timeout); !set) return p2p_fail(std::move(set.error()));

  sockaddr_storage source{};
  socklen_t source_len = sizeof source;
  // A longer datagram is cut to the buffer's size.
  const ssize_t received = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source),
                                      &source_len);
  const int receive_error = received < 0 ? errno : 0;
  const Clock::time_point now = clock_();
  sweep_if_due(now);
  if (received < 0) {
    if (receive_error == EAGAIN || receive_error == EWOULDBLOCK) return std::nullopt;
    return p2p_fail(io_error(receive_error));
  }
  return handle_datagram(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received)), source,
                         source_len, now);
}

void P2PManager::recv_batch(std::chrono::nanoseconds timeout, std::vector<ReceiveOutcome>& out) {
  if (auto set = set_read_timeout(timeout); !set) {
    out.emplace_back(std::move(set.error()));
    return;
  }
  batch_buffer_.resize(RECEIVE_BATCH * MAX_DATAGRAM_LEN);
  std::array<iovec, RECEIVE_BATCH> iov{};
  std::array<mmsghdr, RECEIVE_BATCH> headers{};
  std::array<sockaddr_storage, RECEIVE_BATCH> sources{};
  for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
    iov[i] = {batch_buffer_.data() + i * MAX_DATAGRAM_LEN, MAX_DATAGRAM_LEN};
    headers[i].msg_hdr.msg_iov = &iov[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_name = &sources[i];
    headers[i].msg_hdr.msg_namelen = sizeof sources[i];
  }
  // Waits (up to the read time-out) for the first datagram only, then takes
  // what is already there. A longer datagram is cut to the buffer's size.
  const int received = ::recvmmsg(fd_, headers.data(), RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
  const int receive_error = received < 0 ? errno : 0;
  const Clock::time_point now = clock_();
  ended_sink_ = &out;
  sweep_if_due(now);
  // A wait cut short by a signal (a stop and continue, say) received nothing.
  if (received < 0 && receive_error != EAGAIN && receive_error != EWOULDBLOCK && receive_error != EINTR) {
    out.emplace_back(io_error(receive_error));
  }
  for (int i = 0; i < received; ++i) {
    const auto& header = headers[static_cast<std::size_t>(i)];
    const std::span<const std::uint8_t> datagram(static_cast<const std::uint8_t*>(header.msg_hdr.msg_iov->iov_base),
                                                 header.msg_len);
    auto event = handle_datagram(datagram, sources[static_cast<std::size_t>(i)], header.msg_hdr.msg_namelen, now);
    if (!event) {
      out.emplace_back(std::move(event.error()));
    } else if (*event) {
      if (auto* message = std::get_if<ReceivedMessage>(&**event)) out.emplace_back(std::move(*message));
    }
  }
  ended_sink_ = nullptr;
}

P2PResult<std::optional<P2PEvent>> P2PManager::handle_datagram(std::span<const std::uint8_t> datagram,
                                                               const sockaddr_storage& source, socklen_t source_len,
                                                               Clock::time_point now) {
  auto packet = decode_packet(datagram);
  if (!packet) return p2p_fail(std::move(packet.error()));
  if (packet->header.msg_type == MsgType::Data) return handle_data(packet->header, packet->payload, now);

  auto from = SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&source), source_len);
  if (!from) return p2p_fail(io_error(EAFNOSUPPORT));
  if (packet->header.msg_type == MsgType::Discovery) {
    if (auto checked = check_discovery(*packet); !checked) return p2p_fail(std::move(checked.error()));
    return P2PResult<std::optional<P2PEvent>>(std::in_place, std::in_place, std::in_place_type<Discovery>,
                                              std::vector<std::uint8_t>(packet->payload.begin(), packet->payload.end()),
                                              *from);
  }
  if (auto handled = handle_handshake(packet->header, packet->payload, *from, now); !handled) {
    return p2p_fail(std::move(handled.error()));
  }
  return std::nullopt;
}

void P2PManager::note_session_end(const PeerSession& session) {
  if (ended_sink_ != nullptr && session.state() == PeerSession::State::Transport) {
    ended_sink_->emplace_back(SessionEnded{session.session_id()});
  }
}

P2PResult<std::optional<P2PEvent>> P2PManager::handle_data(const PacketHeader& header,
                                                           std::span<const std::uint8_t> payload,
                                                           Clock::time_point now) {
  const auto it = sessions_.find(header.session_id);
  if (it == sessions_.end()) return p2p_fail(P2PError(P2PErrorKind::NoSuchSession));
  PeerSession& session = it->second;
  // Early data for a session still shaking hands is dropped quietly.
  if (session.state() != PeerSession::State::Transport) return std::nullopt;
  // Recorded whether or not the packet turns out to be authentic.
  if (Channel* channel = session.channels().get_mut(header.channel_id)) {
    channel->last_counter = header.counter;
    channel->last_activity = now;
  }
  auto plaintext = session.decrypt_on_channel(header.channel_id, header.counter, payload);
  if (!plaintext) return p2p_fail(std::move(plaintext.error()));
  // Only now, with the packet known to be genuine, may its counter count as used:
  // a forged packet must not shut out the real one.
  const ReplayVerdict verdict = session.admit_counter(header.channel_id, header.counter);
  if (verdict != ReplayVerdict::Fresh) {
    // A replay, or a broken sender: dropped without a word, as the peer can send
    // such packets at will.
    sodium_memzero(plaintext->data(), plaintext->size());
    if (verdict == ReplayVerdict::Repeated) ++stats_.replayed;
    if (verdict == ReplayVerdict::TooOld) ++stats_.too_old;
    if (verdict == ReplayVerdict::NoWindow) ++stats_.no_window;
    return std::nullopt;
  }
  session.set_active(now);
  return P2PResult<std::optional<P2PEvent>>(
      std::in_place, std::in_place, std::in_place_type<ReceivedMessage>,
      ReceivedMessage{std::move(*plaintext), session.peer_address(), session.session_id(), header.channel_id});
}

P2PResult<void> P2PManager::handle_handshake(const PacketHeader& header, std::span<const std::uint8_t> payload,
                                             const SocketAddress& from, Clock::time_point now) {
  auto envelope = decode_handshake(payload);
  if (!envelope) return p2p_fail(std::move(envelope.error()));
  if (const auto it = sessions_.find(header.session_id); it != sessions_.end()) {
    return continue_handshake(it->second, *envelope, from, now);
  }
  return start_handshake(header.session_id, *envelope, from, now);
}

P2PResult<void> P2PManager::continue_handshake(PeerSession& session, const HandshakeEnvelope& envelope,
                                               const SocketAddress& from, Clock::time_point now) {
  if (!(from == session.peer_address())) return p2p_fail(P2PError::other("Handshake packet from unexpected address"));
  const P2PError mismatch(P2PErrorKind::RemoteIdentityMismatch);
  if (envelope.pattern != session.pattern()) return p2p_fail(mismatch);
  if (envelope.pattern == HandshakePattern::KK) {
    if (!session.envelope_identity() || session.envelope_identity() != envelope.identity) return p2p_fail(mismatch);
  } else if (session.envelope_identity()) {
    return p2p_fail(mismatch);
  }
  auto reply = session.read_handshake_message(envelope.noise_message);
  if (!reply) {
    // The peer has started over on the same id (or sent garbage): this session
    // cannot go on, so it is dropped and the peer may begin again.
    if (reply.error().kind() == P2PErrorKind::Noise) {
      remove_session(session.session_id());
      return p2p_fail(P2PError::simultaneous_open(from.to_string()));
    }
    return p2p_fail(std::move(reply.error()));
  }
  session.set_active(now);
  if (!*reply) return {};
  return send_handshake_reply(session, session.peer_address(), **reply);
}

P2PResult<void> P2PManager::start_handshake(std::uint64_t session_id, const HandshakeEnvelope& envelope,
                                            const SocketAddress& from, Clock::time_point now) {
  // The session set up from this address before, if it has finished its handshake
  // (or failed it): the new one takes its place once it has started.
  std::optional<std::uint64_t> superseded;
  if (const auto held = address_map_.find(from); held != address_map_.end()) {
    const std::uint64_t existing = held->second;
    const PeerSession* session = find_session(existing);
    if (session && session->state() == PeerSession::State::Handshaking) {
      // Simultaneous open: of two handshakes in progress from one address the
      // lower session id wins.
      if (existing < session_id) return {};
      remove_session(existing);
    } else {
      // Only one socket can hold a port: the peer of the earlier session has
      // closed it, or has chosen to start over.
      superseded = existing;
    }
  }

  std::optional<StaticKey> remote_static;
  std::optional<ParticipantId> remote_participant;
  if (envelope.pattern == HandshakePattern::KK) {
    auto record = lookup_->by_remote_static(*envelope.identity);
    if (!record) return p2p_fail(std::move(record.error()));
    const P2PError not_accepted(P2PErrorKind::RelationshipNotAccepted);
    if (!*record) return p2p_fail(not_accepted);
    if (!(*record)->is_accepted() || (*record)->remote_static != *envelope.identity) return p2p_fail(not_accepted);
    remote_static = envelope.identity;
    remote_participant = (*record)->participant;
  }

  auto session = PeerSession::new_responder(session_id, from, identity_, local_participant_, envelope.pattern,
                                            remote_static, remote_participant);
  if (!session) return p2p_fail(std::move(session.error()));
  auto reply = session->read_handshake_message(envelope.noise_message);
  if (!reply) return p2p_fail(std::move(reply.error()));
  if (*reply) {
    if (auto sent = send_handshake_reply(*session, from, **reply); !sent) return p2p_fail(std::move(sent.error()));
  }
  if (superseded) remove_session(*superseded);
  make_room_for_session();
  session->set_started(now);
  address_map_.insert_or_assign(from, session_id);
  sessions_.emplace(session_id, std::move(*session));
  creation_order_.push_back(session_id);
  return {};
}

void P2PManager::sweep_if_due(Clock::time_point now) {
  if (now < next_sweep_) return;
  next_sweep_ = now + SWEEP_INTERVAL;
  const std::size_t before = sessions_.size();
  std::erase_if(sessions_, [&](const auto& entry) {
    const PeerSession& session = entry.second;
    if (session.state() == PeerSession::State::Transport) {
      if (now - session.last_active() < SESSION_IDLE_TIMEOUT) return false;
      ++stats_.idle_sessions_swept;
      note_session_end(session);
      return true;
    }
    if (now - session.started_at() < HANDSHAKE_TIMEOUT) return false;
    ++stats_.handshakes_swept;
    return true;
  });
  if (sessions_.size() != before) {
    std::erase_if(address_map_, [this](const auto& entry) { return !sessions_.contains(entry.second); });
  }
  // Ids of sessions gone by any road; kept short so that a stream of handshakes
  // past one long-lived session cannot grow it.
  std::erase_if(creation_order_, [this](std::uint64_t id) { return !sessions_.contains(id); });
}

void P2PManager::make_room_for_session() {
  while (!creation_order_.empty() && !sessions_.contains(creation_order_.front())) creation_order_.pop_front();
  const auto in_state = [this](std::uint64_t id, PeerSession::State state) {
    const auto it = sessions_.find(id);
    return it != sessions_.end() && it->second.state() == state;
  };
  // Removes the oldest session that `pick` accepts; false when there is none.
  const auto evict_oldest = [this](const auto& pick) {
    for (auto it = creation_order_.begin(); it != creation_order_.end(); ++it) {
      if (sessions_.contains(*it) && pick(*it)) {
        remove_session(*it);
        creation_order_.erase(it);
        return true;
      }
    }
    return false;
  };
  const auto pending = static_cast<std::size_t>(
      std::count_if(sessions_.begin(), sessions_.end(),
                    [](const auto& entry) { return entry.second.state() == PeerSession::State::Handshaking; }));
  if (pending >= limits_.max_handshaking) {
    evict_oldest([&](std::uint64_t id) { return in_state(id, PeerSession::State::Handshaking); });
  }
  if (sessions_.size() < limits_.max_sessions) return;
  // Established sessions are the valuable ones: a half-open (or failed)
  // handshake gives way first, and only when there is none the oldest session.
  if (evict_oldest([&](std::uint64_t id) { return !in_state(id, PeerSession::State::Transport); })) return;
  evict_oldest([](std::uint64_t) { return true; });
}

P2PResult<void> P2PManager::send_handshake_reply(const PeerSession& session, const SocketAddress& to,
                                                 std::span<const std::uint8_t> noise_message) {
  auto envelope = encode_handshake(session.pattern(), session.envelope_identity(), noise_message);
  if (!envelope) return p2p_fail(std::move(envelope.error()));
  return send_packet_raw(to, MsgType::Handshake, session.session_id(), 0, 0, *envelope);
}

void P2PManager::remove_session(std::uint64_t session_id) {
  if (const auto it = sessions_.find(session_id); it != sessions_.end()) note_session_end(it->second);
  sessions_.erase(session_id);
  std::erase_if(address_map_, [session_id](const auto& entry) { return entry.second == session_id; });
}

P2PResult<void> P2PManager::send_packet_raw(const SocketAddress& to, MsgType msg_type, std::uint64_t session_id,
                                            std::uint8_t channel, std::uint64_t counter,
                                            std::span<const std::uint8_t> payload) {
  const std::vector<std::uint8_t> datagram = encode_packet(msg_type, session_id, channel, counter, payload);
  if (::sendto(fd_, datagram.data(), datagram.size(), 0, to.raw(), to.raw_len()) < 0) {
    return p2p_fail(io_error(errno));
  }
  return {};
}

const PeerSession* P2PManager::find_session(std::uint64_t session_id) const {
  const auto it = sessions_.find(session_id);
  return it == sessions_.end() ? nullptr : &it->second;
}

std::optional<std::uint64_t> P2PManager::session_for_address(const SocketAddress& address) const {
  const auto it = address_map_.find(address);
  if (it == address_map_.end()) return std::nullopt;
  return it->second;
}

}  // namespace kio::p2p
