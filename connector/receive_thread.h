// The receive path of the connector: one thread owns the socket and every
// session (handshakes, decryption, replay windows) and hands what it took over a
// queue bounded in bytes to the thread that handles it, so that disk work there
// (spool writes, landing, flushes) never stops the socket from being drained.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "p2p/p2pmanager.h"

namespace kio::connector {

// Outcomes of the receive path in the order they happened. Bounded in bytes:
// what does not fit is dropped and counted, never waited for, as the socket
// must be drained whatever the other side does.
class ReceiveQueue {
 public:
  static constexpr std::size_t DEFAULT_MAX_BYTES = std::size_t{32} << 20;
  // Outcomes taken per pop at most, so that what the handling thread holds
  // stays small beside the queue.
  static constexpr std::size_t MAX_POP = 1024;
  // What an outcome is charged beyond its payload.
  static constexpr std::size_t OUTCOME_COST = 128;

  explicit ReceiveQueue(std::size_t max_bytes = DEFAULT_MAX_BYTES) : max_bytes_(max_bytes) {}

  // Appends the outcomes in order as long as they fit; empties `outcomes`.
  void push(std::vector<p2p::ReceiveOutcome>& outcomes);
  // Waits up to `timeout` for something, then moves the oldest outcomes, up to
  // MAX_POP, to `out`.
  void pop(std::chrono::milliseconds timeout, std::deque<p2p::ReceiveOutcome>& out);
  // Outcomes dropped because the queue was full, since it was made.
  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<p2p::ReceiveOutcome> queue_;
  std::size_t bytes_ = 0;
  std::size_t max_bytes_;
  std::atomic<std::uint64_t> dropped_{0};
};

// Overwrites a message's decrypted payload before it is released.
void wipe(p2p::ReceiveOutcome& outcome);

// The thread that drains the socket into the queue with batched receives. From
// start() on, the manager belongs to it.
class ReceiveThread {
 public:
  ReceiveThread(p2p::P2PManager& manager, ReceiveQueue& queue) : manager_(manager), queue_(queue) {}
  ~ReceiveThread();
  ReceiveThread(const ReceiveThread&) = delete;
  ReceiveThread& operator=(const ReceiveThread&) = delete;

  // The thread never takes SIGTERM or SIGINT: their handler runs elsewhere.
  void start();

 private:
  void run();

  p2p::P2PManager& manager_;
  ReceiveQueue& queue_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kio::connector
