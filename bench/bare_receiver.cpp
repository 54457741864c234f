// The floor of the stream benchmark: a receiver that only drains the socket with
// batched receives and decrypts each packet, keeping nothing. It answers one
// handshake, prints "port=N", counts the chunk bytes of the announced stream and
// prints when the first and the last datagram of it arrived (Unix seconds), then
// exits: once every announced byte arrived, or after 3 idle seconds (what was
// lost is then in "bytes=" against "expected=").
#include <sodium.h>

#include <chrono>
#include <cstdio>

#include "common/bytes.h"
#include "common/sodium_ready.h"
#include "common/uuid.h"
#include "install/stream_format.h"
#include "p2p/chunking.h"
#include "p2p/p2pmanager.h"

using namespace kio;

namespace {

double unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

int main() {
  sodium_ready();
  SecretKey key;
  randombytes_buf(key.data(), 32);
  auto identity = p2p::SessionIdentity::from_unsealed_private_key(std::move(key));
  auto participant = p2p::ParticipantId::from_str(format_uuid(new_uuid_v7()));
  auto manager = p2p::P2PManager::create(*p2p::SocketAddress::parse("127.0.0.1:0"), *participant, std::move(*identity));
  if (!manager) {
    std::fprintf(stderr, "bare_receiver: %s\n", manager.error().display().c_str());
    return 1;
  }
  std::printf("port=%u\n", manager->local_addr()->port());
  std::fflush(stdout);

  std::vector<p2p::ReceiveOutcome> outcomes;
  std::uint64_t expected = 0, bytes = 0, messages = 0;
  bool announced = false;
  double first = 0, last = 0;
  auto last_activity = std::chrono::steady_clock::now();
  for (;;) {
    outcomes.clear();
    manager->recv_batch(std::chrono::milliseconds(50), outcomes);
    const double now = unix_now();
    for (auto& outcome : outcomes) {
      auto* message = std::get_if<p2p::ReceivedMessage>(&outcome);
      if (message == nullptr) continue;
      last_activity = std::chrono::steady_clock::now();
      if (first == 0) first = now;
      last = now;
      ++messages;
      if (message->channel_id == 0) {
        if (auto announce = install::FileStreamAnnounce::from_control_payload(message->payload)) {
          expected = announce->total_bytes;
          announced = true;
        }
      } else if (message->channel_id == 1 && message->payload.size() >= p2p::CHUNK_HEADER_SIZE) {
        bytes += load_le<std::uint32_t>(message->payload.data() + 12);
      }
    }
    const bool idle = std::chrono::steady_clock::now() - last_activity > std::chrono::seconds(3);
    if ((announced && bytes >= expected) || (first != 0 && idle)) break;
  }
  std::printf("first_recv=%.6f\nlast_recv=%.6f\nbytes=%llu\nexpected=%llu\nmessages=%llu\n", first, last,
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(expected),
              static_cast<unsigned long long>(messages));
  return 0;
}
