#include "connector/event_loop.h"

#include <sodium.h>

#include <chrono>

#include "common/file_io.h"
#include "connector/admission.h"
#include "connector/landing.h"
#include "install/paths.h"
#include "p2p/kiofeature_frame.h"

namespace fs = std::filesystem;

namespace kio::connector {

namespace {

constexpr std::chrono::nanoseconds kTurnTimeout = std::chrono::milliseconds(5);

// The status files of a landing; a failure to write one is ignored.
void write_landed_status(const fs::path& install_root, const install::FileStreamAnnounce& a) {
  const std::string text = "feature_id=" + a.feature_id + "\nblob_id=" + a.blob_id + "\nsha256=" + a.sha256 +
                           "\nbytes=" + std::to_string(a.total_bytes) + "\nclass=" + a.blob_class + "\n";
  (void)write_file(install::blob_landed_path(install_root), text);
}

void write_land_error_status(const fs::path& install_root, const std::string& message) {
  (void)write_file(install::blob_land_error_path(install_root), message + "\n");
}

}  // namespace

EventLoop::EventLoop(fs::path install_root, install::Persist& store, p2p::P2PManager& manager, Output output)
    : install_root_(std::move(install_root)), store_(store), manager_(manager), output_(output) {
  receiver_.emplace();
}

void EventLoop::turn() {
  auto received = manager_.recv_timeout(kTurnTimeout);
  if (!received) {
    if (stop_flag_ != nullptr && *stop_flag_ != 0) return;
    output_.error("recv: ", received.error().display());
    return;
  }
  if (!*received) return;
  p2p::ReceivedMessage& message = **received;
  route(message);
  // Decrypted plaintext does not outlive the turn that handled it.
  sodium_memzero(message.payload.data(), message.payload.size());
}

void EventLoop::route(const p2p::ReceivedMessage& message) {
  if (message.channel_id == p2p::KIOFEATURE_FRAME_CHANNEL) {
    if (auto frame = message.as_kiofeature_frame()) {
      if (auto handled = handle_feature_frame(install_root_, store_, *frame, output_); !handled) {
        output_.error("feature: ", handled.error());
      }
      sodium_memzero(frame->payload.data(), frame->payload.size());
      return;
    }
    // Not a feature frame: it is stream control data.
  }
  auto pushed = receiver_->push(message.channel_id, message.payload);
  if (!pushed) {
    output_.error("stream: ", pushed.error().display());
    receiver_.emplace();  // every partly received stream is dropped
    return;
  }
  if (!*pushed) return;
  install::CompletedStream stream = std::move(**pushed);
  receiver_.emplace();
  land(stream);
}

void EventLoop::land(const install::CompletedStream& stream) {
  const auto& a = stream.announce;
  if (auto landed = land_feature_index(install_root_, store_, a, stream.bytes); landed) {
    output_.line("blob_received", a.blob_id);
    output_.line("blob_sha256", a.sha256);
    output_.line("feature_id", a.feature_id);
    write_landed_status(install_root_, a);
  } else {
    output_.error("blob: ", landed.error());
    write_land_error_status(install_root_, landed.error());
  }
}

}  // namespace kio::connector
