// The connector's one receive loop: each turn takes at most one decrypted message
// and routes it to feature admission, the stream receiver or index landing.
#pragma once

#include <csignal>
#include <filesystem>
#include <optional>

#include "connector/output.h"
#include "install/bootstrap_stream.h"
#include "install/persist/persist.h"
#include "p2p/p2pmanager.h"

namespace kio::connector {

class EventLoop {
 public:
  EventLoop(std::filesystem::path install_root, install::Persist& store, p2p::P2PManager& manager, Output output);

  // One turn: wait up to 5 ms for one message and handle it to the end.
  void turn();

  // A receive interrupted by a stop signal is not reported: the process is ending.
  void set_stop_flag(const volatile std::sig_atomic_t* flag) { stop_flag_ = flag; }

 private:
  void route(const p2p::ReceivedMessage& message);
  void land(const install::CompletedStream& stream);

  std::filesystem::path install_root_;
  install::Persist& store_;
  p2p::P2PManager& manager_;
  Output output_;
  std::optional<install::FileStreamReceiver> receiver_;
  const volatile std::sig_atomic_t* stop_flag_ = nullptr;
};

}  // namespace kio::connector
