#include "connector/event_loop.h"

#include <sodium.h>

#include <system_error>

#include "common/file_io.h"
#include "connector/admission.h"
#include "connector/landing.h"
#include "install/landing_status.h"
#include "install/paths.h"
#include "p2p/kiofeature_frame.h"

namespace fs = std::filesystem;

namespace kio::connector {

namespace {

constexpr std::chrono::milliseconds kTurnWait{50};

// The status files of a landing, each replaced whole so that a reader never
// sees half of one; a failure to write one is ignored. Nothing is written to an
// install that is no longer where the store opened it: a directory put at its
// old place is not the install.
void write_status_file(const install::Persist& store, const fs::path& path, const std::string& text) {
  if (!store.check_in_place()) return;
  (void)replace_file(path, text, 0666);
}

void write_landed_status(const install::Persist& store, const fs::path& install_root,
                         const install::FileStreamAnnounce& a) {
  write_status_file(store, install::blob_landed_path(install_root), install::landed_status_text(a));
}

// The message can carry a peer's text: kept to one line, as on standard error.
void write_land_error_status(const install::Persist& store, const fs::path& install_root, const std::string& message) {
  write_status_file(store, install::blob_land_error_path(install_root),
                    install::land_error_status_text(single_line(message)));
}

}  // namespace

EventLoop::EventLoop(fs::path install_root, install::Persist& store, p2p::P2PManager& manager, Output output,
                     StreamLimits limits)
    : install_root_(std::move(install_root)),
      store_(store),
      manifest_(install_root_),
      output_(output),
      admissions_(manifest_, store, output_),
      // A spool is made only in the blobs root the store opened; the files are
      // written as they arrive, so that a landing has only flushes left.
      streams_(store.blobs_root(), limits,
               [&store] { return store.check_in_place(); }, true),
      receiver_(manager, queue_) {}

void EventLoop::start() { receiver_.start(); }

void EventLoop::turn() {
  queue_.pop(kTurnWait, batch_);
  // Streams are judged stalled only once everything received was handled: after
  // a long landing their chunks may still be waiting in the queue.
  const bool caught_up = batch_.size() < ReceiveQueue::MAX_POP;
  while (!batch_.empty()) {
    if (stopping()) {
      // The frames in hand were taken: they are admitted, or reported as failed.
      if (!admissions_.empty()) admissions_.commit();
      for (auto& outcome : batch_) wipe(outcome);
      batch_.clear();
      return;
    }
    p2p::ReceiveOutcome outcome = std::move(batch_.front());
    batch_.pop_front();
    handle(outcome);
    // Decrypted plaintext does not outlive its handling.
    wipe(outcome);
  }
  // Nothing more is waiting: what was gathered is made durable now.
  if (!admissions_.empty()) admissions_.commit();
  if (const std::uint64_t dropped = queue_.dropped(); dropped != reported_drops_) {
    output_.error("recv: ", std::to_string(dropped - reported_drops_) +
                                " messages dropped: the receive queue was full");
    reported_drops_ = dropped;
  }
  if (caught_up) {
    for (const auto& report : streams_.abandon_stalled(Clock::now())) report_unlanded(report);
  }
}

void EventLoop::handle(p2p::ReceiveOutcome& outcome) {
  if (auto* message = std::get_if<p2p::ReceivedMessage>(&outcome)) {
    route(*message);
    return;
  }
  // Report lines keep the order of the messages that caused them: the feature
  // frames before this outcome are done first.
  if (!admissions_.empty()) admissions_.commit();
  if (auto* error = std::get_if<p2p::P2PError>(&outcome)) {
    output_.error("recv: ", error->display());
  } else if (auto* ended = std::get_if<p2p::SessionEnded>(&outcome)) {
    if (auto report = streams_.end_session(ended->session_id)) report_unlanded(*report);
  }
}

void EventLoop::route(p2p::ReceivedMessage& message) {
  if (message.channel_id == p2p::KIOFEATURE_FRAME_CHANNEL) {
    if (auto frame = message.as_kiofeature_frame()) {
      admissions_.add(*frame);
      sodium_memzero(frame->payload.data(), frame->payload.size());
      if (admissions_.full()) admissions_.commit();
      return;
    }
    // Not a feature frame: it is stream control data.
  }
  if (!admissions_.empty()) admissions_.commit();
  auto pushed = streams_.push(message.session_id, message.channel_id, std::move(message.payload), Clock::now());
  if (!pushed) {
    // A stream that was announced and will not land is reported like a landing
    // that failed; a message that no stream owns only on standard error.
    if (pushed.error().blob_id) {
      report_unlanded(pushed.error().message);
    } else {
      output_.error("stream: ", pushed.error().message);
    }
    return;
  }
  if (*pushed) land(**pushed);
}

void EventLoop::land(install::CompletedStream& stream) {
  const auto& a = stream.announce;
  if (auto landed = land_feature_index(manifest_, store_, stream); landed) {
    output_.line("blob_received", a.blob_id);
    output_.line("blob_sha256", a.sha256);
    output_.line("feature_id", a.feature_id);
    write_landed_status(store_, install_root_, a);
  } else {
    output_.error("blob: ", landed.error());
    write_land_error_status(store_, install_root_, landed.error());
  }
}

void EventLoop::report_unlanded(const std::string& report) {
  output_.error("stream: ", report);
  write_land_error_status(store_, install_root_, report);
}

}  // namespace kio::connector
