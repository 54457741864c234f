#include "connector/receive_thread.h"

#include <pthread.h>
#include <signal.h>
#include <sodium.h>

namespace kio::connector {

namespace {

// How long one batched receive waits for a first datagram; also how soon the
// thread notices that it is to stop.
constexpr std::chrono::milliseconds kReceiveWait{50};
// After a batch that found few datagrams waiting, the thread lets more gather
// before the next receive: during a stream that turns a wake-up per datagram
// into one per batch, for this thread and for the one it hands the batch to.
// The socket's buffer holds far more than arrives meanwhile.
constexpr std::size_t kFewDatagrams = p2p::RECEIVE_BATCH / 2;
constexpr std::chrono::microseconds kGatherWait{200};

std::size_t cost_of(const p2p::ReceiveOutcome& outcome) {
  if (const auto* message = std::get_if<p2p::ReceivedMessage>(&outcome)) {
    return ReceiveQueue::OUTCOME_COST + message->payload.size();
  }
  return ReceiveQueue::OUTCOME_COST;
}

}  // namespace

void wipe(p2p::ReceiveOutcome& outcome) {
  if (auto* message = std::get_if<p2p::ReceivedMessage>(&outcome)) {
    sodium_memzero(message->payload.data(), message->payload.size());
  }
}

void ReceiveQueue::push(std::vector<p2p::ReceiveOutcome>& outcomes) {
  if (outcomes.empty()) return;
  std::uint64_t dropped = 0;
  {
    const std::lock_guard lock(mutex_);
    for (auto& outcome : outcomes) {
      const std::size_t cost = cost_of(outcome);
      if (bytes_ + cost > max_bytes_) {
        wipe(outcome);
        ++dropped;
        continue;
      }
      bytes_ += cost;
      queue_.push_back(std::move(outcome));
    }
  }
  outcomes.clear();
  if (dropped != 0) dropped_.fetch_add(dropped, std::memory_order_relaxed);
  ready_.notify_one();
}

void ReceiveQueue::pop(std::chrono::milliseconds timeout, std::deque<p2p::ReceiveOutcome>& out) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
  for (std::size_t n = 0; n < MAX_POP && !queue_.empty(); ++n) {
    bytes_ -= cost_of(queue_.front());
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
}

ReceiveThread::~ReceiveThread() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void ReceiveThread::start() {
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  // The new thread inherits the mask.
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  thread_ = std::thread([this] { run(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void ReceiveThread::run() {
  std::vector<p2p::ReceiveOutcome> outcomes;
  outcomes.reserve(p2p::RECEIVE_BATCH * 2);
  while (!stopping_) {
    manager_.recv_batch(kReceiveWait, outcomes);
    const std::size_t taken = outcomes.size();
    queue_.push(outcomes);
    if (taken > 0 && taken < kFewDatagrams) std::this_thread::sleep_for(kGatherWait);
  }
}

}  // namespace kio::connector
