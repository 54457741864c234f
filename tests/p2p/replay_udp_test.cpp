// The receive side over real UDP sockets on 127.0.0.1, with the manager on its own
// thread and the project's initiator on the other end: replayed and reordered
// data packets, and handshakes from ports that earlier sessions held.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "peer/initiator.h"
#include "peer/peer_client.h"
#include "tests/p2p/p2p_fixtures.h"
#include "tests/support/test_support.h"

namespace kio::p2p {
namespace {

using namespace fixture;
using namespace std::chrono_literals;
using peer::InitiatorSession;
using peer::PeerClient;

constexpr std::uint8_t RESPONDER_KEY = 0x52;
constexpr std::uint8_t INITIATOR_KEY = 0x49;

struct Responder {
  Responder() {
    auto manager = P2PManager::create(*SocketAddress::parse("127.0.0.1:0"), participant(RESPONDER_ID),
                                      identity_of(RESPONDER_KEY));
    EXPECT_TRUE(manager.has_value());
    address = *manager->local_addr();
    pump.emplace(std::move(*manager));
  }
  // The next outcome must be a message with this payload.
  void expect_delivered(const std::string& text) { EXPECT_EQ(pump->next_message().payload, test::bytes_of(text)); }

  SocketAddress address;
  std::optional<ManagerPump> pump;
};

// An XX initiator on a socket the test holds, so that it has every datagram's bytes.
InitiatorSession xx_handshake(const RawUdp& socket, const SocketAddress& responder, std::uint64_t id) {
  auto init = *InitiatorSession::create(id, key_of(INITIATOR_KEY), participant(INITIATOR_ID), HandshakePattern::XX,
                                        std::nullopt);
  socket.send_to(responder, *init.handshake_datagram(*init.write_first_message()));
  const auto reply = socket.recv();
  EXPECT_TRUE(reply.has_value()) << "no handshake reply";
  if (!reply) return init;
  const auto third = init.read_reply(decode_handshake(decode_packet(*reply)->payload)->noise_message);
  EXPECT_TRUE(third.has_value() && third->has_value());
  socket.send_to(responder, *init.handshake_datagram(**third));
  return init;
}

TEST(ReplayOverUdp, APacketSentAgainIsDeliveredOnce) {
  for (const bool from_other_socket : {false, true}) {
    SCOPED_TRACE(from_other_socket ? "replayed from another socket" : "replayed from the sender's socket");
    Responder responder;
    RawUdp sender;
    RawUdp stranger;  // holds no keys, only the captured bytes
    InitiatorSession init = xx_handshake(sender, responder.address, 77);
    const auto captured = *init.data_datagram(0, 0, bytes_of("admit"));
    sender.send_to(responder.address, captured);
    for (int i = 0; i < 5; ++i) (from_other_socket ? stranger : sender).send_to(responder.address, captured);
    // Datagrams reach the manager in the order sent: a replay delivered would come first.
    sender.send_to(responder.address, *init.data_datagram(0, 1, bytes_of("after")));
    responder.expect_delivered("admit");
    responder.expect_delivered("after");
    EXPECT_FALSE(responder.pump->next(50ms).has_value());
    EXPECT_FALSE(stranger.recv(20ms).has_value());
  }
}

TEST(ReplayOverUdp, PacketsReorderedWithinTheWindowAreAllDelivered) {
  Responder responder;
  auto client = PeerClient::connect(responder.address, key_of(INITIATOR_KEY), participant(INITIATOR_ID),
                                    HandshakePattern::XX, std::nullopt, 5, 3000ms);
  ASSERT_TRUE(client.has_value()) << client.error().display();
  struct Packet {
    std::uint8_t channel;
    std::uint64_t counter;
  };
  // Out of order, on two channels with their own windows, out to the window's edge.
  const Packet packets[] = {{0, 10}, {0, 0}, {1, 10}, {0, 7}, {0, 3}, {1, 2},
                            {0, 10 + REPLAY_WINDOW}, {0, 11}, {0, 10 + REPLAY_WINDOW - 1}, {1, 0}};
  const auto text_of = [](const Packet& p) { return std::to_string(p.channel) + ":" + std::to_string(p.counter); };
  for (const auto& p : packets) ASSERT_TRUE(client->send_with_counter(p.channel, p.counter, bytes_of(text_of(p))));
  for (const auto& p : packets) {
    const ReceivedMessage m = responder.pump->next_message();
    EXPECT_EQ(m.payload, test::bytes_of(text_of(p)));
    EXPECT_EQ(m.channel_id, p.channel);
  }
  // All of them again: nothing but the packet behind them.
  for (const auto& p : packets) ASSERT_TRUE(client->send_with_counter(p.channel, p.counter, bytes_of(text_of(p))));
  ASSERT_TRUE(client->send_with_counter(0, 12, bytes_of("fresh")));
  responder.expect_delivered("fresh");
  EXPECT_FALSE(responder.pump->next(50ms).has_value());
}

// The peer of a finished session has closed its socket; the system gives the port
// to a new process, whose session id happens to be higher.
TEST(ReusedPortOverUdp, AHigherIdFromAReusedPortIsAnsweredAtOnce) {
  Responder responder;
  std::uint16_t port = 0;
  {
    auto client = PeerClient::connect(responder.address, key_of(INITIATOR_KEY), participant(INITIATOR_ID),
                                      HandshakePattern::XX, std::nullopt, 100, 3000ms);
    ASSERT_TRUE(client.has_value()) << client.error().display();
    port = client->local_addr()->port();
    ASSERT_TRUE(client->send(0, bytes_of("first")));
    responder.expect_delivered("first");
  }
  RawUdp reused(port);
  InitiatorSession init = xx_handshake(reused, responder.address, 200);
  ASSERT_TRUE(init.is_transport());
  reused.send_to(responder.address, *init.data_datagram(0, 0, bytes_of("second")));
  const ReceivedMessage m = responder.pump->next_message();
  EXPECT_EQ(m.payload, test::bytes_of("second"));
  EXPECT_EQ(m.session_id, 200u);
  EXPECT_EQ(m.from, reused.addr());
}

// Ports come round again and again; every handshake is answered and its session
// carries data, whichever way its id compares with the port's earlier one.
TEST(ReusedPortOverUdp, ManySequentialHandshakesFromReusedPortsAreAllAnswered) {
  Responder responder;
  std::vector<std::uint16_t> ports(4, 0);
  std::uint64_t id = 1000;
  for (int round = 0; round < 60; ++round) {
    for (auto& port : ports) {
      // Mostly rising ids, each fourth one falling.
      id = (round % 4 == 3) ? id - 7 : id + 11;
      RawUdp socket(port);
      port = socket.addr().port();
      InitiatorSession init = xx_handshake(socket, responder.address, id);
      ASSERT_TRUE(init.is_transport()) << "round " << round << ", port " << port << ", id " << id;
      const std::string text = std::to_string(id);
      socket.send_to(responder.address, *init.data_datagram(1, 0, bytes_of(text)));
      const ReceivedMessage m = responder.pump->next_message();
      ASSERT_EQ(m.payload, test::bytes_of(text)) << "round " << round;
      EXPECT_EQ(m.session_id, id);
    }
  }
}

}  // namespace
}  // namespace kio::p2p
