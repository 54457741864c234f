// The connector's receive loop. A receive thread drains the socket (handshakes,
// decryption) into a bounded queue; this loop takes what it queued, in order,
// and routes each message to feature admission, the stream of its session or
// index landing. Every report line comes from this loop, so lines keep the order
// of the messages that caused them.
#pragma once

#include <chrono>
#include <csignal>
#include <deque>
#include <filesystem>

#include "connector/admission.h"
#include "connector/manifest.h"
#include "connector/output.h"
#include "connector/receive_thread.h"
#include "connector/streams.h"
#include "install/stream_receiver.h"
#include "install/persist/persist.h"
#include "p2p/p2pmanager.h"

namespace kio::connector {

class EventLoop {
 public:
  EventLoop(std::filesystem::path install_root, install::Persist& store, p2p::P2PManager& manager, Output output,
            StreamLimits limits = {});

  // Starts the receive thread; from then on the manager belongs to it.
  void start();

  // One turn: waits up to 50 ms for what the receive thread took and handles a
  // batch of it, each message to the end (a raised stop flag ends the turn after the
  // message in hand), then abandons the streams that stalled. Feature frames
  // that follow one another are admitted together (AdmissionBatch): their
  // batch ends at the first other message, when it is full, or when nothing
  // more is waiting; it never waits for more.
  void turn();

  // A raised flag ends the turn after the message in hand: the process is ending.
  void set_stop_flag(const volatile std::sig_atomic_t* flag) { stop_flag_ = flag; }

 private:
  using Clock = std::chrono::steady_clock;
  bool stopping() const { return stop_flag_ != nullptr && *stop_flag_ != 0; }
  void handle(p2p::ReceiveOutcome& outcome);
  void route(p2p::ReceivedMessage& message);
  void land(install::CompletedStream& stream);
  // A stream that was announced and will not land: once on standard error and
  // in the landing's error file, where its sender looks.
  void report_unlanded(const std::string& report);

  std::filesystem::path install_root_;
  install::Persist& store_;
  ManifestWriter manifest_;  // the install's manifest, kept between entries
  Output output_;
  AdmissionBatch admissions_;
  StreamTable streams_;
  ReceiveQueue queue_;
  ReceiveThread receiver_;
  std::deque<p2p::ReceiveOutcome> batch_;
  std::uint64_t reported_drops_ = 0;
  const volatile std::sig_atomic_t* stop_flag_ = nullptr;
};

}  // namespace kio::connector
