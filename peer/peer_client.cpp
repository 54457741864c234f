#include "peer/peer_client.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <utility>

#include "common/os_error.h"

namespace kio::peer {

using p2p::P2PError;
using p2p::P2PErrorKind;
using p2p::p2p_fail;
using p2p::P2PResult;

namespace {

P2PError io_error(int err) { return P2PError::io(os_error(err)); }

P2PResult<void> send_all(int fd, std::span<const std::uint8_t> bytes) {
  if (::send(fd, bytes.data(), bytes.size(), 0) < 0) return p2p_fail(io_error(errno));
  return {};
}

// The responder's handshake datagram for our session, or an error; other
// datagrams are skipped until the deadline.
P2PResult<std::vector<std::uint8_t>> receive_reply(int fd, const InitiatorSession& session,
                                                   std::chrono::steady_clock::time_point deadline) {
  std::array<std::uint8_t, p2p::MAX_DATAGRAM_LEN> buffer{};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return p2p_fail(io_error(ETIMEDOUT));
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(left.count() / 1'000'000);
    tv.tv_usec = static_cast<suseconds_t>(left.count() % 1'000'000);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return p2p_fail(io_error(errno));
    const ssize_t received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return p2p_fail(io_error(ETIMEDOUT));
      if (errno == EINTR) continue;
      return p2p_fail(io_error(errno));
    }
    auto packet = p2p::decode_packet({buffer.data(), static_cast<std::size_t>(received)});
    if (!packet || packet->header.msg_type != p2p::MsgType::Handshake ||
        packet->header.session_id != session.session_id()) {
      continue;
    }
    auto envelope = p2p::decode_handshake(packet->payload);
    if (!envelope) return p2p_fail(envelope.error());
    // The responder echoes our pattern and, for KK, our own static key.
    if (envelope->pattern != session.pattern() || envelope->identity != session.envelope_identity()) {
      return p2p_fail(P2PError(P2PErrorKind::RemoteIdentityMismatch));
    }
    return std::vector<std::uint8_t>(envelope->noise_message.begin(), envelope->noise_message.end());
  }
}

}  // namespace

P2PResult<PeerClient> PeerClient::connect(const p2p::SocketAddress& target, const SecretKey& static_key,
                                          const p2p::ParticipantId& me, p2p::HandshakePattern pattern,
                                          std::optional<std::array<std::uint8_t, 32>> responder_static,
                                          std::uint64_t session_id, std::chrono::milliseconds timeout) {
  if (timeout <= std::chrono::milliseconds::zero()) return p2p_fail(io_error(EINVAL));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto session = InitiatorSession::create(session_id, static_key, me, pattern, responder_static);
  if (!session) return p2p_fail(session.error());

  Fd socket(::socket(target.raw()->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) return p2p_fail(io_error(errno));
  const int fd = socket.get();
  PeerClient client(std::move(socket), target, std::move(*session));
  // A connected socket hears only the target, and learns of an absent one.
  if (::connect(fd, target.raw(), target.raw_len()) != 0) return p2p_fail(io_error(errno));

  auto first = client.session_.write_first_message();
  if (!first) return p2p_fail(first.error());
  auto datagram = client.session_.handshake_datagram(*first);
  if (!datagram) return p2p_fail(datagram.error());
  if (auto sent = send_all(fd, *datagram); !sent) return p2p_fail(sent.error());

  auto reply = receive_reply(fd, client.session_, deadline);
  if (!reply) return p2p_fail(reply.error());
  auto answer = client.session_.read_reply(*reply);
  if (!answer) return p2p_fail(answer.error());
  if (*answer) {
    auto third = client.session_.handshake_datagram(**answer);
    if (!third) return p2p_fail(third.error());
    if (auto sent = send_all(fd, *third); !sent) return p2p_fail(sent.error());
  }
  return client;
}

P2PResult<void> PeerClient::send(std::uint8_t channel, std::span<const std::uint8_t> plaintext) {
  auto datagram = session_.next_data_datagram(channel, plaintext);
  if (!datagram) return p2p_fail(datagram.error());
  return send_all(socket_.get(), *datagram);
}

P2PResult<void> PeerClient::send_with_counter(std::uint8_t channel, std::uint64_t counter,
                                              std::span<const std::uint8_t> plaintext) {
  auto datagram = session_.data_datagram(channel, counter, plaintext);
  if (!datagram) return p2p_fail(datagram.error());
  return send_all(socket_.get(), *datagram);
}

P2PResult<void> PeerClient::send_datagram(std::span<const std::uint8_t> bytes) { return send_all(socket_.get(), bytes); }

bool nothing_listens(const P2PError& error) {
  return error.kind() == P2PErrorKind::Io && error.is(std::errc::connection_refused);
}

bool answered_nothing(const P2PError& error) {
  return error.kind() == P2PErrorKind::Io && error.is(std::errc::timed_out);
}

P2PResult<p2p::SocketAddress> PeerClient::local_addr() const {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&storage), &len) != 0) return p2p_fail(io_error(errno));
  auto address = p2p::SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), len);
  if (!address) return p2p_fail(io_error(EAFNOSUPPORT));
  return *address;
}

}  // namespace kio::peer
