// Handshakes per second on the responder side, and data-packet decryption at the
// largest payload: in memory through PeerSession (with and without the replay
// window), and through the manager's receive step over loopback UDP, each beside
// a bare baseline; and a new handshake meeting a table of many sessions.
//
// The manually timed cases use the thread's CPU clock (user and kernel time), so
// that a busy shared machine does not count preemption as work.
#include <benchmark/benchmark.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/sodium_ready.h"
#include "p2p/p2pmanager.h"
#include "p2p/session.h"
#include "peer/initiator.h"

namespace {

using namespace kio;
using namespace kio::p2p;
// The calling thread's CPU time, kernel time in system calls included.
struct Clock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<Clock, duration>;
  static time_point now() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec));
  }
};

constexpr std::size_t PAYLOAD = MAX_DATA_PLAINTEXT_LEN;  // 1466
constexpr int BATCH = 64;

SecretKey key_of(std::uint8_t fill) {
  std::array<std::uint8_t, 32> bytes;
  bytes.fill(fill);
  return SecretKey(bytes);
}

const ParticipantId& responder_id() {
  static const ParticipantId id = *ParticipantId::from_str("01a0b0d4-97d6-7083-bd74-ab53fb6f92a0");
  return id;
}
const ParticipantId& initiator_id() {
  static const ParticipantId id = *ParticipantId::from_str("0190f3c2-5b7e-7a11-8c3d-1234567890ab");
  return id;
}
const SessionIdentity& responder_identity() {
  static const SessionIdentity identity = *SessionIdentity::from_unsealed_private_key(key_of(0x52));
  return identity;
}
const SocketAddress& some_peer() {
  static const SocketAddress address = *SocketAddress::parse("127.0.0.1:40000");
  return address;
}

std::vector<std::uint8_t> payload() {
  std::vector<std::uint8_t> v(PAYLOAD);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return v;
}

// One XX handshake; `responder_time` collects the time spent in the responder.
std::pair<PeerSession, peer::InitiatorSession> xx_handshake(Clock::duration* responder_time = nullptr) {
  auto init = *peer::InitiatorSession::create(1, key_of(0x49), initiator_id(), HandshakePattern::XX, std::nullopt);
  const auto m1 = *init.write_first_message();
  auto t0 = Clock::now();
  auto session = *PeerSession::new_responder(1, some_peer(), responder_identity(), responder_id(),
                                             HandshakePattern::XX, std::nullopt, std::nullopt);
  auto m2 = **session.read_handshake_message(m1);
  auto t1 = Clock::now();
  const auto m3 = **init.read_reply(m2);
  auto t2 = Clock::now();
  if (!session.read_handshake_message(m3)) std::abort();
  auto t3 = Clock::now();
  if (responder_time) *responder_time = (t1 - t0) + (t3 - t2);
  return {std::move(session), std::move(init)};
}

void BM_xx_handshake_responder(benchmark::State& state) {
  sodium_ready();
  for (auto _ : state) {
    Clock::duration spent{};
    auto pair = xx_handshake(&spent);
    benchmark::DoNotOptimize(pair);
    state.SetIterationTime(std::chrono::duration<double>(spent).count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_xx_handshake_responder)->UseManualTime();

void BM_xx_handshake_both_sides(benchmark::State& state) {
  sodium_ready();
  for (auto _ : state) benchmark::DoNotOptimize(xx_handshake());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_xx_handshake_both_sides);

void BM_decrypt_on_channel(benchmark::State& state) {
  auto [session, init] = xx_handshake();
  const auto datagram = *init.data_datagram(1, 42, payload());
  const std::span<const std::uint8_t> ciphertext = std::span(datagram).subspan(HEADER_LEN);
  for (auto _ : state) {
    auto plain = session.decrypt_on_channel(1, 42, ciphertext);
    if (!plain) std::abort();
    benchmark::DoNotOptimize(plain->data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_decrypt_on_channel);

// Decryption of packets as a sender makes them: one channel, counters going up,
// each batch sealed untimed. With argument 1 each counter is also checked
// against the channel's replay window, as the receive step does: the
// difference between the two is the window's cost.
void BM_session_decrypt_batch(benchmark::State& state) {
  const bool window = state.range(0) != 0;
  auto [session, init] = xx_handshake();
  const auto plain = payload();
  std::vector<std::vector<std::uint8_t>> batch(BATCH);
  for (auto _ : state) {
    for (auto& d : batch) d = *init.next_data_datagram(1, plain);
    const auto start = Clock::now();
    for (const auto& d : batch) {
      const auto header = decode_packet(d)->header;
      auto m = session.decrypt_on_channel(1, header.counter, std::span(d).subspan(HEADER_LEN));
      if (!m || (window && session.admit_counter(1, header.counter) != ReplayVerdict::Fresh)) std::abort();
      benchmark::DoNotOptimize(m->data());
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * BATCH);
  state.SetBytesProcessed(state.iterations() * BATCH * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_session_decrypt_batch)->Arg(0)->Arg(1)->UseManualTime();

// The window alone: counters in order, and pairs swapped (each second packet behind).
void BM_replay_window(benchmark::State& state) {
  const bool swapped = state.range(0) != 0;
  ReplayWindow window;
  std::uint64_t counter = 0;
  for (auto _ : state) {
    const std::uint64_t c = swapped ? (counter ^ 1) : counter;
    if (window.check_and_record(c) != ReplayVerdict::Fresh) std::abort();
    ++counter;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_replay_window)->Arg(0)->Arg(1);

// Baseline: libsodium's ChaCha20-Poly1305 open alone, into a fixed buffer.
void BM_sodium_open_baseline(benchmark::State& state) {
  sodium_ready();
  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 12> nonce{};
  const auto plain = payload();
  std::vector<std::uint8_t> sealed(plain.size() + 16), out(plain.size());
  unsigned long long len = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(sealed.data(), &len, plain.data(), plain.size(), nullptr, 0, nullptr,
                                            nonce.data(), key.data());
  for (auto _ : state) {
    if (crypto_aead_chacha20poly1305_ietf_decrypt(out.data(), &len, nullptr, sealed.data(), sealed.size(), nullptr, 0,
                                                  nonce.data(), key.data()) != 0) {
      std::abort();
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_sodium_open_baseline);

struct Sender {
  Sender() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto any = *SocketAddress::parse("127.0.0.1:0");
    ::bind(fd, any.raw(), any.raw_len());
  }
  ~Sender() { ::close(fd); }
  void send(const SocketAddress& to, std::span<const std::uint8_t> bytes) const {
    if (::sendto(fd, bytes.data(), bytes.size(), 0, to.raw(), to.raw_len()) < 0) std::abort();
  }
  std::vector<std::uint8_t> recv() const {
    std::vector<std::uint8_t> buf(2048);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) std::abort();
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }
  int fd = -1;
};

// A manager with one established XX session from `sender`.
std::pair<P2PManager, peer::InitiatorSession> manager_with_session(const Sender& sender) {
  auto manager = *P2PManager::create(*SocketAddress::parse("127.0.0.1:0"), responder_id(),
                                     *SessionIdentity::from_unsealed_private_key(key_of(0x52)));
  const SocketAddress address = *manager.local_addr();
  auto init = *peer::InitiatorSession::create(9, key_of(0x49), initiator_id(), HandshakePattern::XX, std::nullopt);
  sender.send(address, *init.handshake_datagram(*init.write_first_message()));
  if (!manager.recv_timeout(std::chrono::seconds(1))) std::abort();
  const auto reply = sender.recv();
  const auto m3 = **init.read_reply(std::span(reply).subspan(HEADER_LEN + ENVELOPE_PREFIX_LEN));
  sender.send(address, *init.handshake_datagram(m3));
  if (!manager.recv_timeout(std::chrono::seconds(1))) std::abort();
  return {std::move(manager), std::move(init)};
}

// Seals and sends a batch untimed (fresh counters each time, as a sender does),
// then times the receive steps that take it in.
void BM_manager_recv_loopback(benchmark::State& state) {
  Sender sender;
  auto [manager, init] = manager_with_session(sender);
  const SocketAddress address = *manager.local_addr();
  const auto plain = payload();
  std::vector<std::vector<std::uint8_t>> batch(BATCH);
  for (auto _ : state) {
    for (auto& d : batch) d = *init.next_data_datagram(1, plain);
    for (const auto& d : batch) sender.send(address, d);
    const auto start = Clock::now();
    for (int i = 0; i < BATCH; ++i) {
      auto m = manager.recv_timeout(std::chrono::milliseconds(5));
      if (!m || !*m || (*m)->payload.size() != PAYLOAD) std::abort();
      benchmark::DoNotOptimize((*m)->payload.data());
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * BATCH);
  state.SetBytesProcessed(state.iterations() * BATCH * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_manager_recv_loopback)->UseManualTime();

// The same batch taken in by the connector's path: one step takes every datagram
// already waiting, up to RECEIVE_BATCH, in one system call.
void BM_manager_recv_batch_loopback(benchmark::State& state) {
  Sender sender;
  auto [manager, init] = manager_with_session(sender);
  const SocketAddress address = *manager.local_addr();
  const auto plain = payload();
  std::vector<std::vector<std::uint8_t>> batch(BATCH);
  std::vector<kio::p2p::ReceiveOutcome> outcomes;
  outcomes.reserve(BATCH);
  for (auto _ : state) {
    for (auto& d : batch) d = *init.next_data_datagram(1, plain);
    for (const auto& d : batch) sender.send(address, d);
    outcomes.clear();
    const auto start = Clock::now();
    while (outcomes.size() < static_cast<std::size_t>(BATCH)) manager.recv_batch(std::chrono::milliseconds(5), outcomes);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    for (const auto& outcome : outcomes) {
      const auto* m = std::get_if<kio::p2p::ReceivedMessage>(&outcome);
      if (m == nullptr || m->payload.size() != PAYLOAD) std::abort();
    }
  }
  state.SetItemsProcessed(state.iterations() * BATCH);
  state.SetBytesProcessed(state.iterations() * BATCH * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_manager_recv_batch_loopback)->UseManualTime();

// Whole XX handshakes through the manager's receive step, every one from the same
// socket as the last (a port the system hands out again). Only the two receive
// steps are timed; the initiator's work is not.
void BM_manager_xx_handshake_loopback(benchmark::State& state) {
  Sender sender;
  auto manager = *P2PManager::create(*SocketAddress::parse("127.0.0.1:0"), responder_id(),
                                     *SessionIdentity::from_unsealed_private_key(key_of(0x52)));
  const SocketAddress address = *manager.local_addr();
  // Falling ids: before a new session may replace an established one from the same
  // address, only a lower id did.
  std::uint64_t id = ~std::uint64_t{0};
  for (auto _ : state) {
    auto init = *peer::InitiatorSession::create(id--, key_of(0x49), initiator_id(), HandshakePattern::XX,
                                                std::nullopt);
    sender.send(address, *init.handshake_datagram(*init.write_first_message()));
    auto t0 = Clock::now();
    if (!manager.recv_timeout(std::chrono::seconds(1))) std::abort();
    auto t1 = Clock::now();
    const auto reply = sender.recv();
    const auto m3 = **init.read_reply(std::span(reply).subspan(HEADER_LEN + ENVELOPE_PREFIX_LEN));
    sender.send(address, *init.handshake_datagram(m3));
    auto t2 = Clock::now();
    if (!manager.recv_timeout(std::chrono::seconds(1))) std::abort();
    auto t3 = Clock::now();
    if (!init.is_transport() || manager.session_count() != 1) std::abort();
    state.SetIterationTime(std::chrono::duration<double>((t1 - t0) + (t3 - t2)).count());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_manager_xx_handshake_loopback)->UseManualTime();

// The peer that every KK handshake of the crowded table comes from.
class AcceptOne final : public RelationshipLookup {
 public:
  explicit AcceptOne(StaticKey key) : key_(key) {}
  P2PResult<std::optional<RelationshipRecord>> by_participant_id(const ParticipantId&) const override {
    return std::nullopt;
  }
  P2PResult<std::optional<RelationshipRecord>> by_remote_static(const StaticKey& key) const override {
    if (key != key_) return std::nullopt;
    return RelationshipRecord{initiator_id(), key_, RelationshipRecord::STATE_ACCEPTED};
  }

 private:
  StaticKey key_;
};

constexpr std::size_t CROWD = 16000;

// A manager whose table holds CROWD established sessions, each from its own
// loopback address (127.1.x.y), set up once by KK handshakes: a first message
// finishes one. Its clock stands still, so that no sweep runs while timed.
P2PManager& crowded_manager() {
  static P2PManager manager = [] {
    sodium_ready();
    const SecretKey initiator_key = key_of(0x49);
    StaticKey initiator_public{};
    crypto_scalarmult_base(initiator_public.data(), initiator_key.data());
    auto m = *P2PManager::with_relationship_lookup(*SocketAddress::parse("127.0.0.1:0"), responder_id(),
                                                   *SessionIdentity::from_unsealed_private_key(key_of(0x52)),
                                                   std::make_shared<AcceptOne>(initiator_public));
    m.set_clock([t = P2PManager::Clock::now()] { return t; });
    const SocketAddress address = *m.local_addr();
    StaticKey responder_public{};
    crypto_scalarmult_base(responder_public.data(), key_of(0x52).data());
    for (std::size_t i = 0; i < CROWD; ++i) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const std::string host = "127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
      const auto from = *SocketAddress::parse(host + ":0");
      if (fd < 0 || ::bind(fd, from.raw(), from.raw_len()) != 0) std::abort();
      auto init = *peer::InitiatorSession::create(1'000'000 + i, initiator_key, initiator_id(), HandshakePattern::KK,
                                                  responder_public);
      const auto datagram = *init.handshake_datagram(*init.write_first_message());
      if (::sendto(fd, datagram.data(), datagram.size(), 0, address.raw(), address.raw_len()) < 0) std::abort();
      if (!m.recv_timeout(std::chrono::seconds(1))) std::abort();
      ::close(fd);
    }
    if (m.session_count() != CROWD) std::abort();
    return m;
  }();
  return manager;
}

// The first message of a new XX handshake, arriving at a table that already holds
// CROWD established sessions: only the receive step is timed. The new session is
// removed again untimed, so that every iteration meets the same table.
void BM_manager_new_handshake_crowded_table(benchmark::State& state) {
  P2PManager& manager = crowded_manager();
  Sender sender;
  const SocketAddress address = *manager.local_addr();
  std::uint64_t id = 1;
  for (auto _ : state) {
    auto init = *peer::InitiatorSession::create(id, key_of(0x49), initiator_id(), HandshakePattern::XX, std::nullopt);
    sender.send(address, *init.handshake_datagram(*init.write_first_message()));
    const auto start = Clock::now();
    if (!manager.recv_timeout(std::chrono::seconds(1))) std::abort();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    (void)sender.recv();
    if (manager.session_count() != CROWD + 1) std::abort();
    manager.remove_session(id++);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_manager_new_handshake_crowded_table)->UseManualTime();

// Baseline: the same batch through bare syscalls (time-out, receive) and the
// libsodium open, with no decoding, session lookup or allocation.
void BM_bare_recv_open_loopback(benchmark::State& state) {
  sodium_ready();
  Sender sender;
  Sender receiver;
  const int bytes = RECEIVE_BUFFER_BYTES;
  ::setsockopt(receiver.fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
  sockaddr_storage storage{};
  socklen_t storage_len = sizeof storage;
  ::getsockname(receiver.fd, reinterpret_cast<sockaddr*>(&storage), &storage_len);
  const SocketAddress address = *SocketAddress::from_sockaddr(reinterpret_cast<sockaddr*>(&storage), storage_len);

  std::array<std::uint8_t, 32> key{};
  std::array<std::uint8_t, 12> nonce{};
  const auto plain = payload();
  std::vector<std::uint8_t> datagram(HEADER_LEN + plain.size() + 16);
  unsigned long long len = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(datagram.data() + HEADER_LEN, &len, plain.data(), plain.size(), nullptr,
                                            0, nullptr, nonce.data(), key.data());
  std::array<std::uint8_t, MAX_DATAGRAM_LEN> buffer{};
  std::vector<std::uint8_t> out(plain.size());
  const timeval tv{0, 5000};
  for (auto _ : state) {
    for (int i = 0; i < BATCH; ++i) sender.send(address, datagram);
    const auto start = Clock::now();
    for (int i = 0; i < BATCH; ++i) {
      ::setsockopt(receiver.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      sockaddr_storage from{};
      socklen_t from_len = sizeof from;
      const ssize_t n =
          ::recvfrom(receiver.fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n != static_cast<ssize_t>(datagram.size())) std::abort();
      if (crypto_aead_chacha20poly1305_ietf_decrypt(out.data(), &len, nullptr, buffer.data() + HEADER_LEN,
                                                    static_cast<unsigned long long>(n) - HEADER_LEN, nullptr, 0,
                                                    nonce.data(), key.data()) != 0) {
        std::abort();
      }
      benchmark::DoNotOptimize(out.data());
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * BATCH);
  state.SetBytesProcessed(state.iterations() * BATCH * static_cast<int64_t>(PAYLOAD));
}
BENCHMARK(BM_bare_recv_open_loopback)->UseManualTime();

}  // namespace
