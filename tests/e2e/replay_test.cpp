// The real kio-connector against packets sent again: a captured admission, replayed
// from a socket that holds no keys, is admitted once.
#include <gtest/gtest.h>
#include <sodium.h>

#include "install/json.h"
#include "p2p/kiofeature_frame.h"
#include "peer/initiator.h"
#include "tests/p2p/p2p_fixtures.h"
#include "tests/support/connector_process.h"
#include "tests/support/xx_peer.h"

using namespace std::chrono_literals;

namespace kio {
namespace {

using p2p::fixture::RawUdp;

constexpr const char* kMapsFeature = "01939a3c-0000-7000-8000-00000000000a";

std::vector<std::uint8_t> admission(const std::string& feature) {
  const std::string record = R"({"schema":"kio.bootstrap.feature-admit.v1","feature":")" + feature + "\"}";
  return p2p::encode_feature_frame(*parse_uuid(kMapsFeature), 0,
                                   std::vector<std::uint8_t>(record.begin(), record.end()));
}

TEST(ConnectorReplay, ACapturedAdmissionSentAgainIsAdmittedOnce) {
  test::TestInstall install;
  test::ConnectorProcess process(install);
  const auto connector = *p2p::SocketAddress::parse("127.0.0.1:" + std::to_string(process.await_startup()));

  // A complete XX handshake from a socket the test holds.
  RawUdp sender;
  SecretKey key;
  randombytes_buf(key.data(), key.size);
  auto init = *peer::InitiatorSession::create(42, key, *p2p::ParticipantId::from_str(test::kPeerParticipantId),
                                              p2p::HandshakePattern::XX, std::nullopt);
  sender.send_to(connector, *init.handshake_datagram(*init.write_first_message()));
  const auto reply = sender.recv(5000ms);
  ASSERT_TRUE(reply.has_value());
  const auto third = init.read_reply(p2p::decode_handshake(p2p::decode_packet(*reply)->payload)->noise_message);
  ASSERT_TRUE(third.has_value() && third->has_value());
  sender.send_to(connector, *init.handshake_datagram(**third));

  const auto captured = *init.data_datagram(0, 0, admission("maps"));
  sender.send_to(connector, captured);
  RawUdp stranger;
  for (int i = 0; i < 5; ++i) stranger.send_to(connector, captured);
  sender.send_to(connector, *init.data_datagram(0, 1, admission("after")));

  EXPECT_EQ(process.next_out_line().value_or("<no line>"), "feature_admitted=maps");
  EXPECT_EQ(process.next_out_line().value_or("<no line>"), "feature_admitted=after");
  EXPECT_EQ(process.drain_out(200ms), "");
  // Replays are dropped without a report line.
  EXPECT_EQ(process.drain_err(10ms), "");
  const auto manifest = install::json::Json::parse(test::read_file(install.root / "features-manifest.json"));
  ASSERT_EQ(manifest["features"].size(), 2u);
  EXPECT_EQ(manifest["features"][0]["feature"], "maps");
  EXPECT_EQ(manifest["features"][1]["feature"], "after");
}

}  // namespace
}  // namespace kio
