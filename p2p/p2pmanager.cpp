#include "p2p/p2pmanager.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sodium.h>

#include <array>
#include <cerrno>
#include <utility>

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

P2PManager::P2PManager(Fd socket, const ParticipantId& local_participant, SessionIdentity identity,
                       std::shared_ptr<RelationshipLookup> lookup)
    : socket_(std::move(socket)),
      lookup_(std::move(lookup)),
      identity_(std::move(identity)),
      local_participant_(local_participant) {}

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
  Fd socket(::socket(bind.raw()->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return p2p_fail(io_error(errno));
  if (::bind(socket.get(), bind.raw(), bind.raw_len()) != 0) return p2p_fail(io_error(errno));
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return p2p_fail(io_error(errno));
  enlarge_receive_buffer(socket.get());
  return P2PManager(std::move(socket), local_participant, std::move(identity), std::move(lookup));
}

P2PResult<SocketAddress> P2PManager::local_addr() const {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&storage), &len) != 0) return p2p_fail(io_error(errno));
  auto address = SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), len);
  if (!address) return p2p_fail(io_error(EAFNOSUPPORT));
  return *address;
}

P2PResult<void> P2PManager::set_read_timeout(std::chrono::nanoseconds timeout) {
  if (timeout <= std::chrono::nanoseconds::zero()) return p2p_fail(io_error(EINVAL));
  if (read_timeout_ == timeout) return {};
  const timeval tv = to_timeval(timeout);
  read_timeout_.reset();
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return p2p_fail(io_error(errno));
  read_timeout_ = timeout;
  return {};
}

void P2PManager::recv_batch(std::chrono::nanoseconds timeout, std::vector<ReceiveOutcome>& out) {
  receive(timeout, RECEIVE_BATCH, out, nullptr);
}

P2PResult<std::optional<P2PEvent>> P2PManager::recv_event_timeout(std::chrono::nanoseconds timeout) {
  std::vector<ReceiveOutcome>& outcomes = single_outcomes_;
  outcomes.clear();
  std::optional<Discovery> discovery;
  receive(timeout, 1, outcomes, &discovery);
  // One datagram gives one message, error or discovery at most; ends are not reported.
  for (auto& outcome : outcomes) {
    if (auto* message = std::get_if<ReceivedMessage>(&outcome)) {
      return P2PResult<std::optional<P2PEvent>>(std::in_place, std::in_place, std::in_place_type<ReceivedMessage>,
                                                std::move(*message));
    }
    if (auto* error = std::get_if<P2PError>(&outcome)) return p2p_fail(std::move(*error));
  }
  if (discovery) {
    return P2PResult<std::optional<P2PEvent>>(std::in_place, std::in_place, std::in_place_type<Discovery>,
                                              std::move(*discovery));
  }
  return std::nullopt;
}

P2PResult<std::optional<ReceivedMessage>> P2PManager::recv_timeout(std::chrono::nanoseconds timeout) {
  auto event = recv_event_timeout(timeout);
  if (!event) return p2p_fail(std::move(event.error()));
  if (!*event) return std::nullopt;
  if (auto* message = std::get_if<ReceivedMessage>(&**event)) return std::move(*message);
  return std::nullopt;
}

void P2PManager::receive(std::chrono::nanoseconds timeout, std::size_t max_datagrams,
                         std::vector<ReceiveOutcome>& out, std::optional<Discovery>* discovery) {
  if (auto set = set_read_timeout(timeout); !set) {
    out.emplace_back(std::move(set.error()));
    return;
  }
  const std::size_t limit = std::min(max_datagrams, RECEIVE_BATCH);
  batch_buffer_.resize(RECEIVE_BATCH * MAX_DATAGRAM_LEN);
  std::array<iovec, RECEIVE_BATCH> iov;
  std::array<mmsghdr, RECEIVE_BATCH> headers;
  std::array<sockaddr_storage, RECEIVE_BATCH> sources;
  for (std::size_t i = 0; i < limit; ++i) {
    iov[i] = {batch_buffer_.data() + i * MAX_DATAGRAM_LEN, MAX_DATAGRAM_LEN};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &iov[i];
    headers[i].msg_hdr.msg_iovlen = 1;
    headers[i].msg_hdr.msg_name = &sources[i];
    headers[i].msg_hdr.msg_namelen = sizeof sources[i];
  }
  // Waits (up to the read time-out) for the first datagram only, then takes
  // what is already there. A longer datagram is cut to the buffer's size. A
  // batch of one is the lighter recvmsg: the same wait, the same datagram.
  int received = 0;
  if (limit == 1) {
    const ssize_t length = ::recvmsg(socket_.get(), &headers[0].msg_hdr, 0);
    received = length < 0 ? -1 : 1;
    if (length >= 0) headers[0].msg_len = static_cast<unsigned>(length);
  } else {
    received = ::recvmmsg(socket_.get(), headers.data(), static_cast<unsigned>(limit), MSG_WAITFORONE, nullptr);
  }
  const int receive_error = received < 0 ? errno : 0;
  const Clock::time_point now = clock_();

  // Every established session that this step removes is reported in its place.
  struct Reporter final : SessionTable::EndReporter {
    explicit Reporter(std::vector<ReceiveOutcome>& sink) : out(sink) {}
    void session_ended(std::uint64_t session_id) override { out.emplace_back(SessionEnded{session_id}); }
    std::vector<ReceiveOutcome>& out;
  } reporter(out);
  sessions_.set_end_reporter(&reporter);

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
      if (auto* message = std::get_if<ReceivedMessage>(&**event)) {
        out.emplace_back(std::move(*message));
      } else if (discovery != nullptr) {
        *discovery = std::get<Discovery>(std::move(**event));
      }
    }
  }
  sessions_.set_end_reporter(nullptr);
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

P2PResult<std::optional<P2PEvent>> P2PManager::handle_data(const PacketHeader& header,
                                                           std::span<const std::uint8_t> payload,
                                                           Clock::time_point now) {
  PeerSession* const found = sessions_.find(header.session_id);
  if (found == nullptr) return p2p_fail(P2PError(P2PErrorKind::NoSuchSession));
  PeerSession& session = *found;
  // Early data for a session still shaking hands is dropped quietly.
  if (session.state() != PeerSession::State::Transport) return std::nullopt;
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
  if (PeerSession* session = sessions_.find(header.session_id)) return continue_handshake(*session, *envelope, from, now);
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
  auto reply = sessions_.read_handshake_message(session, envelope.noise_message);
  if (!reply) {
    // The peer has started over on the same id (or sent garbage): this session
    // cannot go on, so it is dropped and the peer may begin again.
    if (reply.error().kind() == P2PErrorKind::Noise) {
      sessions_.remove(session.session_id());
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
  if (const std::optional<std::uint64_t> existing = sessions_.for_address(from)) {
    const PeerSession* session = sessions_.find(*existing);
    if (session && session->state() == PeerSession::State::Handshaking) {
      // Simultaneous open: of two handshakes in progress from one address the
      // lower session id wins.
      if (*existing < session_id) return {};
      sessions_.remove(*existing);
    } else {
      // Only one socket can hold a port: the peer of the earlier session has
      // closed it, or has chosen to start over.
      superseded = *existing;
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
  if (superseded) sessions_.remove(*superseded);
  sessions_.insert(std::move(*session), now);
  return {};
}

void P2PManager::sweep_if_due(Clock::time_point now) {
  if (now < next_sweep_) return;
  next_sweep_ = now + SWEEP_INTERVAL;
  const SweepCounts swept = sessions_.sweep(now);
  stats_.handshakes_swept += swept.handshakes;
  stats_.idle_sessions_swept += swept.idle_sessions;
}

P2PResult<void> P2PManager::send_handshake_reply(const PeerSession& session, const SocketAddress& to,
                                                 std::span<const std::uint8_t> noise_message) {
  auto envelope = encode_handshake(session.pattern(), session.envelope_identity(), noise_message);
  if (!envelope) return p2p_fail(std::move(envelope.error()));
  return send_packet_raw(to, MsgType::Handshake, session.session_id(), 0, 0, *envelope);
}

void P2PManager::remove_session(std::uint64_t session_id) { sessions_.remove(session_id); }

P2PResult<void> P2PManager::send_packet_raw(const SocketAddress& to, MsgType msg_type, std::uint64_t session_id,
                                            std::uint8_t channel, std::uint64_t counter,
                                            std::span<const std::uint8_t> payload) {
  const std::vector<std::uint8_t> datagram = encode_packet(msg_type, session_id, channel, counter, payload);
  if (::sendto(socket_.get(), datagram.data(), datagram.size(), 0, to.raw(), to.raw_len()) < 0) {
    return p2p_fail(io_error(errno));
  }
  return {};
}

}  // namespace kio::p2p
