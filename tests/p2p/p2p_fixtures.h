// Keys, participants, a configurable relationship lookup, a raw UDP socket for
// sending exact bytes, and a thread that runs a manager's receive step.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "p2p/identity.h"
#include "p2p/p2pmanager.h"
#include "p2p/relationship.h"
#include "tests/support/test_support.h"

namespace kio::p2p {

// Readable failure output for error comparisons.
inline void PrintTo(const P2PError& error, std::ostream* os) { *os << error.display(); }

}  // namespace kio::p2p

namespace kio::p2p::fixture {

inline constexpr const char* RESPONDER_ID = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
inline constexpr const char* INITIATOR_ID = "0190f3c2-5b7e-7a11-8c3d-1234567890ab";
inline constexpr const char* STRANGER_ID = "018f0000-0000-7000-8000-000000000001";

inline ParticipantId participant(const char* text) { return *ParticipantId::from_str(text); }

inline SecretKey key_of(std::uint8_t fill) {
  std::array<std::uint8_t, 32> bytes;
  bytes.fill(fill);
  return SecretKey(bytes);
}

inline StaticKey public_of(std::uint8_t fill) {
  StaticKey pub;
  const SecretKey key = key_of(fill);
  crypto_scalarmult_base(pub.data(), key.data());
  return pub;
}

inline SessionIdentity identity_of(std::uint8_t fill) { return *SessionIdentity::from_unsealed_private_key(key_of(fill)); }

using test::bytes_of;

inline std::vector<std::uint8_t> pattern_bytes(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7);
  return out;
}

// Answers by_remote_static from a list of records, or fails with a set error.
class TestLookup final : public RelationshipLookup {
 public:
  std::vector<RelationshipRecord> records;
  std::optional<P2PError> failure;

  P2PResult<std::optional<RelationshipRecord>> by_participant_id(const ParticipantId& id) const override {
    if (failure) return p2p_fail(*failure);
    for (const auto& r : records) {
      if (r.participant == id) return r;
    }
    return std::nullopt;
  }
  P2PResult<std::optional<RelationshipRecord>> by_remote_static(const StaticKey& key) const override {
    if (failure) return p2p_fail(*failure);
    for (const auto& r : records) {
      if (r.remote_static == key) return r;
    }
    return std::nullopt;
  }
};

// A plain UDP socket on 127.0.0.1 for sending exact datagrams and catching replies.
class RawUdp {
 public:
  // Port 0: one the system chooses; another: that port, as a process that is handed
  // a port some earlier socket held.
  explicit RawUdp(std::uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0);
    const auto local = *SocketAddress::parse("127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(::bind(fd_, local.raw(), local.raw_len()), 0) << "port " << port;
  }
  ~RawUdp() { ::close(fd_); }
  RawUdp(const RawUdp&) = delete;
  RawUdp& operator=(const RawUdp&) = delete;

  SocketAddress addr() const {
    sockaddr_storage s{};
    socklen_t len = sizeof s;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&s), &len);
    return *SocketAddress::from_sockaddr(reinterpret_cast<sockaddr*>(&s), len);
  }
  void send_to(const SocketAddress& to, std::span<const std::uint8_t> bytes) const {
    ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, to.raw(), to.raw_len()),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next datagram, or nothing within the time.
  std::optional<std::vector<std::uint8_t>> recv(std::chrono::milliseconds wait = std::chrono::milliseconds(2000)) const {
    timeval tv{};
    tv.tv_sec = wait.count() / 1000;
    tv.tv_usec = (wait.count() % 1000) * 1000;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<std::uint8_t> buf(65536);
    const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }

 private:
  int fd_ = -1;
};

// Runs the receive step on its own thread (the manager is touched by no other)
// and queues every event and error.
class ManagerPump {
 public:
  explicit ManagerPump(P2PManager manager) : manager_(std::move(manager)) {
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        auto result = manager_.recv_event_timeout(std::chrono::milliseconds(5));
        if (result && !*result) continue;
        std::lock_guard lock(mutex_);
        if (result) {
          queue_.emplace_back(std::move(**result));
        } else {
          queue_.emplace_back(std::unexpected(std::move(result.error())));
        }
        ready_.notify_all();
      }
    });
  }
  ~ManagerPump() {
    thread_.request_stop();
    thread_.join();
  }

  std::optional<P2PResult<P2PEvent>> next(std::chrono::milliseconds wait = std::chrono::milliseconds(3000)) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, wait, [this] { return !queue_.empty(); })) return std::nullopt;
    auto out = std::move(queue_.front());
    queue_.pop_front();
    return out;
  }

  // The next outcome, which must be a message.
  ReceivedMessage next_message() {
    auto outcome = next();
    if (!outcome) {
      ADD_FAILURE() << "no outcome from the manager";
      return {};
    }
    if (!*outcome) {
      ADD_FAILURE() << "manager error: " << outcome->error().display();
      return {};
    }
    if (auto* m = std::get_if<ReceivedMessage>(&**outcome)) return std::move(*m);
    ADD_FAILURE() << "not a message";
    return {};
  }

 private:
  P2PManager manager_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<P2PResult<P2PEvent>> queue_;
  std::jthread thread_;
};

}  // namespace kio::p2p::fixture
