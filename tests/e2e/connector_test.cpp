// The real kio-connector on a throw-away install, driven over UDP on 127.0.0.1 by
// the project's own initiator.
#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>

#include <functional>
#include <thread>

#include "install/crypto.h"
#include "install/feature_pack.h"
#include "install/json.h"
#include "install/persist/persist.h"
#include "install/stream_format.h"
#include "p2p/kiofeature_frame.h"
#include "peer/peer_client.h"
#include "peer/stream_plan.h"
#include "tests/support/connector_process.h"
#include "tests/support/stream_files.h"
#include "tests/support/xx_peer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kio {
namespace {

constexpr const char* kGeonamesFeature = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
constexpr const char* kIndexBlob = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";

const std::string kPack = R"({
 "schema": "kio.feature.pack.v1", "id": "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
 "blob": "b1", "class": "feature", "short_name": "geo", "description": "Places \u00e9 \"q\"",
 "geonames_id": 6295630, "features": ["cities", "admin"], "comment": "dropped",
 "actions": [{"id": 1, "name": "lookup"}]})";

using test::bytes_of;

// The status file is written just after the line that reports the landing.
std::string read_when_present(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(20ms);
  return test::read_file(path);
}

class Connector : public ::testing::Test {
 protected:
  void SetUp() override {
    process_ = std::make_unique<test::ConnectorProcess>(install_);
    port_ = process_->await_startup();
  }

  peer::PeerClient connect(std::uint64_t session_id = 1) { return test::connect_xx(port_, session_id); }

  static void send_frame(peer::PeerClient& client, const std::string& feature_id, const std::string& payload,
                         std::uint8_t channel = 0) {
    ASSERT_TRUE(test::send_feature_frame(client, feature_id, payload, channel));
  }

  static void send_stream(peer::PeerClient& client, const peer::StreamDescription& description,
                          const std::vector<std::uint8_t>& stream, std::size_t frame_size) {
    auto plan = peer::StreamPlan::create(description, stream, frame_size);
    ASSERT_TRUE(plan) << plan.error();
    while (auto message = plan->next()) ASSERT_TRUE(client.send(message->channel, message->bytes));
  }

  std::string out_line() { return process_->next_out_line().value_or("<no line>"); }
  std::string err_line() { return process_->next_err_line().value_or("<no line>"); }

  std::vector<install::LtrPayload> events() {
    auto store = install::Persist::open(install_.root / "persist", install_.wrap_key);
    if (!store) throw std::runtime_error(store.error());
    auto payloads = store->read_payloads();
    if (!payloads) throw std::runtime_error(payloads.error());
    return std::move(*payloads);
  }

  install::json::Json manifest() {
    return install::json::Json::parse(test::read_file(install_.root / "features-manifest.json"));
  }

  test::TestInstall install_;
  std::unique_ptr<test::ConnectorProcess> process_;
  std::uint16_t port_ = 0;
};

TEST_F(Connector, PublishesItsEndpointAndStaysQuietWithoutTraffic) {
  EXPECT_EQ(test::read_file(install_.root / "peer-endpoint.json"),
            "{\n  \"schema\": \"kio.peer-endpoint.v2\",\n  \"host\": \"127.0.0.1\",\n  \"port\": " +
                std::to_string(port_) + ",\n  \"transport\": \"udp\"\n}");
  EXPECT_EQ(test::file_mode(install_.root / "peer-endpoint.json"), 0600u);
  EXPECT_EQ(process_->drain_out(300ms), "");
  EXPECT_EQ(process_->drain_err(10ms), "");
}

TEST_F(Connector, StoresTheGeonamesPackAndAdmitsRecords) {
  auto client = connect();
  send_frame(client, kGeonamesFeature, kPack);
  EXPECT_EQ(out_line(), std::string("feature_pack_stored=") + kGeonamesFeature);

  const fs::path blob = install_.root / "blobs" / kGeonamesFeature;
  auto pack = install::FeaturePack::decode(bytes_of(kPack));
  ASSERT_TRUE(pack);
  EXPECT_EQ(test::read_file(blob), install::FeaturePack::encode(*pack).value());
  EXPECT_EQ(test::file_mode(blob), 0600u);

  send_frame(client, "01939a3c-0000-7000-8000-00000000000a",
             R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"maps","z":[1,{"b":2,"a":1}]})");
  EXPECT_EQ(out_line(), "feature_admitted=maps");
  send_frame(client, "01939a3c-0000-7000-8000-00000000000b", R"({"schema":"kio.bootstrap.feature-admit.v1","feature":5})");
  EXPECT_EQ(out_line(), "feature_admitted=unknown");

  const auto recorded = events();
  ASSERT_EQ(recorded.size(), 1u);  // admission records write no LTR event
  const auto& record = std::get<install::BlobRecord>(recorded[0]);
  EXPECT_EQ(record.blob_id, kGeonamesFeature);
  EXPECT_EQ(record.class_name, "feature");
  EXPECT_FALSE(record.encrypted);
  EXPECT_EQ(record.sha256, install::sha256_hex(std::string_view(test::read_file(blob))));

  const std::string text = test::read_file(install_.root / "features-manifest.json");
  EXPECT_EQ(text,
            "{\n"
            "  \"features\": [\n"
            "    {\n"
            "      \"blob_class\": \"feature\",\n"
            "      \"blob_id\": \"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0\",\n"
            "      \"feature\": \"geonames\",\n"
            "      \"feature_id\": \"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0\",\n"
            "      \"listed_blobs\": [\n"
            "        \"cities\",\n"
            "        \"admin\"\n"
            "      ],\n"
            "      \"schema\": \"kio.bootstrap.feature-admit.v1\",\n"
            "      \"version\": \"v00001\"\n"
            "    },\n"
            "    {\n"
            "      \"feature\": \"maps\",\n"
            "      \"schema\": \"kio.bootstrap.feature-admit.v1\",\n"
            "      \"z\": [\n"
            "        1,\n"
            "        {\n"
            "          \"a\": 1,\n"
            "          \"b\": 2\n"
            "        }\n"
            "      ]\n"
            "    },\n"
            "    {\n"
            "      \"feature\": 5,\n"
            "      \"schema\": \"kio.bootstrap.feature-admit.v1\"\n"
            "    }\n"
            "  ],\n"
            "  \"schema\": \"kio.install.features-manifest.v1\"\n"
            "}");
  EXPECT_EQ(test::file_mode(install_.root / "features-manifest.json"), 0600u);
}

// Frames sent back to back, admissions, packs and a bad one among them: each is
// reported once, in the order sent, and everything reported is in the manifest
// and the log in that order.
TEST_F(Connector, ABurstIsReportedInOrderAndKeptWhole) {
  auto client = connect();
  constexpr int kFrames = 600;
  std::vector<std::string> expected;
  for (int n = 0; n < kFrames; ++n) {
    if (n % 100 == 50) {
      send_frame(client, kGeonamesFeature, kPack);
      expected.push_back(std::string("feature_pack_stored=") + kGeonamesFeature);
    } else if (n == 333) {
      send_frame(client, "01939a3c-0000-7000-8000-00000000000a", "not json");
    } else {
      send_frame(client, "01939a3c-0000-7000-8000-00000000000a",
                 R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"f)" + std::to_string(n) + R"("})");
      expected.push_back("feature_admitted=f" + std::to_string(n));
    }
  }
  std::vector<std::string> reported;
  for (std::size_t n = 0; n < expected.size(); ++n) reported.push_back(out_line());
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(err_line(), "kio-connector: feature: bootstrap feature payload is not json");
  std::vector<std::string> listed;
  const auto written = manifest();
  for (const auto& entry : written["features"]) {
    listed.push_back(entry["feature"] == "geonames" ? std::string("feature_pack_stored=") + kGeonamesFeature
                                                    : "feature_admitted=" + entry["feature"].get<std::string>());
  }
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(events().size(), static_cast<std::size_t>(kFrames / 100));
  EXPECT_EQ(process_->drain_err(50ms), "");
}

TEST_F(Connector, ReportsBadInputAndKeepsRunning) {
  auto client = connect();
  std::string upper_pack = kPack;
  upper_pack.replace(upper_pack.find("01a0b0d4-97d6-7083-bd74-ab53fb6f92a0"), 36, "01A0B0D4-97D6-7083-BD74-AB53FB6F92A0");
  const std::vector<std::pair<std::string, std::string>> frames = {
      {kGeonamesFeature, upper_pack},
      {kGeonamesFeature, "{}"},
      {"01939a3c-0000-7000-8000-00000000000a", "[]"},
      {"01939a3c-0000-7000-8000-00000000000a", R"({"schema":"kio.bootstrap.feature-admit.v1"} x)"},
      {"01939a3c-0000-7000-8000-00000000000a", R"({"schema":"other"})"},
  };
  const std::vector<std::string> expected = {
      "kio-connector: feature: geonames feature pack id mismatch",
      "kio-connector: feature: feature pack could not be parsed",
      "kio-connector: feature: bootstrap feature schema mismatch",
      "kio-connector: feature: bootstrap feature payload is not json",
      "kio-connector: feature: bootstrap feature schema mismatch",
  };
  for (std::size_t i = 0; i < frames.size(); ++i) {
    send_frame(client, frames[i].first, frames[i].second);
    EXPECT_EQ(err_line(), expected[i]);
  }
  EXPECT_FALSE(fs::exists(install_.root / "blobs" / kGeonamesFeature));

  // Datagrams the manager refuses.
  ASSERT_TRUE(client.send_datagram(std::vector<std::uint8_t>(10, 1)));
  EXPECT_EQ(err_line(), "kio-connector: recv: Wire format error: buffer too small for header decode");
  std::vector<std::uint8_t> unknown(18 + 20, 0);
  unknown[0] = 1;
  unknown[8] = 99;  // session 99 was never set up
  ASSERT_TRUE(client.send_datagram(unknown));
  EXPECT_EQ(err_line(), "kio-connector: recv: No such session");

  // Stream data the receiver refuses: a chunk message too short, on channel 1.
  ASSERT_TRUE(client.send(1, std::vector<std::uint8_t>(17, 0)));
  EXPECT_EQ(err_line(), "kio-connector: stream: Wire format error: Chunk buffer too small");
  // A valid feature frame on channel 3 is stream data, which the receiver ignores.
  send_frame(client, "01939a3c-0000-7000-8000-00000000000a",
             R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"x"})", 3);
  // The loop is still there.
  send_frame(client, "01939a3c-0000-7000-8000-00000000000a",
             R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"after"})");
  EXPECT_EQ(out_line(), "feature_admitted=after");
  EXPECT_EQ(process_->drain_err(100ms), "");
}

TEST_F(Connector, LandsABootstrapStreamOfSeveralFrames) {
  auto client = connect();
  std::vector<install::NamedFile> files;
  for (int i = 0; i < 4; ++i) {
    Bytes body(3000 + 1111 * i);
    for (std::size_t k = 0; k < body.size(); ++k) body[k] = static_cast<std::uint8_t>(k * (i + 3));
    files.emplace_back("data-" + std::to_string(i) + ".mdb", std::move(body));
  }
  const auto stream = install::pack_files(files);
  peer::StreamDescription description{kGeonamesFeature, kIndexBlob, "bytes", test::file_entries(files)};
  // A leftover staging directory from an interrupted landing is cleared first.
  const fs::path staging = install_.root / "blobs" / (std::string(".incoming-") + kIndexBlob);
  fs::create_directories(staging);
  test::write_file(staging / "stale", "x");

  send_stream(client, description, stream, 4096);
  const std::string digest = install::sha256_hex(stream);
  EXPECT_EQ(out_line(), std::string("blob_received=") + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + digest);
  EXPECT_EQ(out_line(), std::string("feature_id=") + kGeonamesFeature);
  EXPECT_EQ(read_when_present(install_.root / "blob-landed.txt"),
            std::string("feature_id=") + kGeonamesFeature + "\nblob_id=" + kIndexBlob + "\nsha256=" + digest +
                "\nbytes=" + std::to_string(stream.size()) + "\nclass=bytes\n");

  const fs::path blobs = install_.root / "blobs";
  EXPECT_FALSE(fs::exists(staging));
  EXPECT_EQ(install::sha256_file(blobs / kIndexBlob).value(), digest);
  EXPECT_EQ(test::file_mode(blobs / kIndexBlob), 0600u);
  for (const auto& [name, body] : files) {
    EXPECT_EQ(test::read_file(blobs / (std::string(kIndexBlob) + ".lmdb") / name), std::string(body.begin(), body.end()));
  }
  const auto entry = manifest()["features"].at(0);
  EXPECT_EQ(entry, install::json::Json::parse(std::string(R"({"blob_class":"bytes","blob_id":")") + kIndexBlob +
                                              R"(","blob_sha256":")" + digest +
                                              R"(","feature":"geonames","feature_id":")" + kGeonamesFeature +
                                              R"(","schema":"kio.bootstrap.feature-admit.v1","version":"v00001"})"));

  // The same stream again: one blob, one event, a second manifest entry.
  send_stream(client, description, stream, 4096);
  EXPECT_EQ(out_line(), std::string("blob_received=") + kIndexBlob);
  out_line();
  out_line();
  EXPECT_EQ(events().size(), 1u);
  EXPECT_EQ(manifest()["features"].size(), 2u);

  // A landing that fails leaves the earlier status file and writes the error file.
  peer::StreamDescription wrong = description;
  wrong.blob_id = "01939a3c-0000-7000-8000-0000000000ff";
  send_stream(client, wrong, stream, 4096);
  EXPECT_EQ(err_line(), "kio-connector: blob: unexpected blob_id for geonames index: 01939a3c-0000-7000-8000-0000000000ff");
  EXPECT_EQ(read_when_present(install_.root / "blob-land-error.txt"),
            "unexpected blob_id for geonames index: 01939a3c-0000-7000-8000-0000000000ff\n");
  EXPECT_TRUE(fs::exists(install_.root / "blob-landed.txt"));

  // A stream whose digest does not match is refused by the receiver.
  auto plan = peer::StreamPlan::create(description, stream, 4096);
  ASSERT_TRUE(plan);
  auto announcement = plan->announcement();
  announcement.sha256 = std::string(64, '0');
  ASSERT_TRUE(client.send(0, install::encode_announcement(announcement)));
  plan->next();  // skip the plan's own announcement
  while (auto message = plan->next()) ASSERT_TRUE(client.send(message->channel, message->bytes));
  EXPECT_EQ(err_line(), std::string("kio-connector: stream: stream ") + kIndexBlob +
                            " failed: Wire format error: file stream sha256 mismatch");
}

// A stream that will not land, whatever stops it before landing, is named on
// standard error and in the landing's error file, where its sender looks; a
// message that belongs to no stream is reported on standard error only.
TEST_F(Connector, AStreamThatWillNotLandIsNamedWhereItsSenderLooks) {
  auto client = connect();
  const fs::path status = install_.root / "blob-land-error.txt";
  const auto stream = install::pack_files(std::vector<install::NamedFile>{{"data.mdb", bytes_of("d")}});
  peer::StreamDescription description{kGeonamesFeature, kIndexBlob, "bytes", {}};
  auto plan = peer::StreamPlan::create(description, stream, 4096);
  ASSERT_TRUE(plan);
  const std::string named = std::string("stream ") + kIndexBlob;

  // A message no stream owns names nothing and leaves no status file.
  ASSERT_TRUE(client.send(1, std::vector<std::uint8_t>(17, 0)));
  EXPECT_EQ(err_line(), "kio-connector: stream: Wire format error: Chunk buffer too small");

  struct Case {
    std::string name;
    std::function<void(install::FileStreamAnnounce&)> change;
    std::string report;
  };
  const Case cases[] = {
      {"too large for the spool space", [](auto& a) { a.total_bytes = std::uint64_t{70} << 30; },
       named + " refused: its 75161927680 bytes do not fit in the spool space left (68719476736 bytes)"},
      {"another schema", [](auto& a) { a.schema = "kio.bulk.file-stream.v2"; },
       named + " refused: Wire format error: file stream schema mismatch"},
      {"a digest that does not match", [](auto& a) { a.sha256 = std::string(64, '0'); },
       named + " failed: Wire format error: file stream sha256 mismatch"},
      {"more bytes than announced", [](auto& a) { a.total_bytes = 1; },
       named + " failed: Wire format error: file stream size mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto announcement = plan->announcement();
    c.change(announcement);
    ASSERT_TRUE(client.send(0, install::encode_announcement(announcement)));
    auto messages = peer::StreamPlan::create(description, stream, 4096).value();
    messages.next();  // its own announcement
    while (auto message = messages.next()) ASSERT_TRUE(client.send(message->channel, message->bytes));
    EXPECT_EQ(err_line(), "kio-connector: stream: " + c.report);
    EXPECT_EQ(read_when_present(status), c.report + "\n");
    fs::remove(status);
  }
  EXPECT_EQ(process_->drain_err(100ms), "");
  EXPECT_FALSE(fs::exists(status));
}

TEST_F(Connector, EndsByTheSignalItReceives) {
  const int status = process_->stop(SIGTERM);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A stop and continue interrupts the wait for datagrams; that is not an error.
TEST_F(Connector, AStopAndContinueIsNotAnError) {
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(::kill(process_->pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(::kill(process_->pid(), SIGCONT), 0);
  }
  EXPECT_EQ(process_->drain_err(300ms), "");
  auto client = connect();
  send_frame(client, "01939a3c-0000-7000-8000-00000000000a", R"({"schema":"kio.bootstrap.feature-admit.v1","feature":"maps"})");
  EXPECT_EQ(out_line(), "feature_admitted=maps");
}

TEST(ConnectorStartup, FailsBeforeAnyStartupLine) {
  struct Case {
    std::string name;
    std::function<void(test::TestInstall&)> damage;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"wrong wrap key", [](test::TestInstall& i) { i.wrap_key.data()[0] ^= 1; }, "decryption failed"},
      {"no identity", [](test::TestInstall& i) { fs::remove(i.root / "persist/identity.json"); },
       "No such file or directory (os error 2)"},
      {"identity not an envelope", [](test::TestInstall& i) { test::write_file(i.root / "persist/identity.json", "{}"); },
       "install identity is corrupt"},
      {"founder id not canonical",
       [](test::TestInstall& i) {
         test::write_identity_file(i.root / "persist", i.wrap_key, "u", "01939A3C-5F2E-7B44-9C1D-2A6E8F0B4C71");
       },
       "Invalid participant UUIDv7"},
      {"endpoint cannot be written", [](test::TestInstall& i) { fs::create_directory(i.root / "peer-endpoint.json"); },
       "Is a directory (os error 21)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TestInstall install;
    c.damage(install);
    test::RunOptions options;
    options.args = {"--root", install.root.string()};
    options.stdin_text = install.keys_text();
    options.env["HOME"] = install.home.path().string();
    const auto r = test::run_program(test::binary_path("kio-connector"), options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kio-connector: " + c.message + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(ConnectorStartup, ServesTheFirstParticipantAndAcceptsPaddedKeys) {
  test::TestInstall install(/*participants=*/true);
  const fs::path parts = install.root.parent_path();
  fs::rename(install.root, parts / "a");
  fs::create_directories(parts / "b" / "persist");
  const std::string keys = "  " + hex_encode(install.noise_key.span()) + " \r\n\t" +
                           hex_encode(install.wrap_key.span()) + "\r\n";
  test::ConnectorProcess process(install, std::vector<std::string>{}, keys);
  EXPECT_EQ(process.next_out_line(), "started=connector");
  EXPECT_EQ(process.next_out_line(), "transport=udp");
  EXPECT_EQ(process.next_out_line(), "root=" + (parts / "a").string());
  const auto endpoint = process.next_out_line();
  ASSERT_TRUE(endpoint);
  const auto json = install::json::Json::parse(test::read_file(parts / "a" / "peer-endpoint.json"));
  EXPECT_EQ(*endpoint, "endpoint=127.0.0.1:" + std::to_string(json["port"].get<int>()));
}

TEST(ConnectorStartup, AClosedStandardOutputIsAnError) {
  test::TestInstall install;
  test::RunOptions options;
  options.args = {"--root", install.root.string()};
  options.stdin_text = install.keys_text();
  options.close_stdout = true;
  const auto r = test::run_program(test::binary_path("kio-connector"), options);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kio-connector: cannot write to standard output: Broken pipe (os error 32)\n");
}

// The root is shown as it was given, in "root=" and in the message that refuses
// a second connector; an empty root is the working directory.
TEST(ConnectorStartup, ShowsTheRootAsGiven) {
  test::TestInstall install;
  const struct {
    std::string given;
    fs::path cwd;
  } cases[] = {{"", install.root}, {"install/", install.home.path()}, {"./install", install.home.path()}};
  for (const auto& c : cases) {
    SCOPED_TRACE("root \"" + c.given + "\"");
    test::ConnectorProcess first(install.home.path(), {"--root", c.given}, install.keys_text(), c.cwd);
    EXPECT_EQ(first.next_out_line().value_or("<no line>"), "started=connector");
    EXPECT_EQ(first.next_out_line().value_or("<no line>"), "transport=udp");
    EXPECT_EQ(first.next_out_line().value_or("<no line>"), "root=" + c.given);
    EXPECT_TRUE(first.next_out_line().value_or("<no line>").starts_with("endpoint=127.0.0.1:"));
    EXPECT_EQ(first.drain_err(10ms), "");
    EXPECT_TRUE(fs::exists(install.root / "peer-endpoint.json"));

    test::ConnectorProcess second(install.home.path(), {"--root", c.given}, install.keys_text(), c.cwd);
    EXPECT_EQ(second.next_err_line(10s).value_or("<no line>"),
              "kio-connector: install root " + c.given + " is in use by another process");
    EXPECT_EQ(second.drain_out(100ms), "");
  }
}

// A HOME holding a line feed cannot add a line of its own to standard output.
TEST(ConnectorStartup, ARootWithControlCharactersStaysOneLine) {
  test::TestInstall install(/*participants=*/true);
  const fs::path home = install.home.path() / "h\nforged=1\tx";
  fs::create_directories(home);
  fs::rename(install.home.path() / "Library", home / "Library");
  test::ConnectorProcess process(home, {}, install.keys_text());
  EXPECT_EQ(process.next_out_line().value_or("<no line>"), "started=connector");
  EXPECT_EQ(process.next_out_line().value_or("<no line>"), "transport=udp");
  EXPECT_EQ(process.next_out_line().value_or("<no line>"),
            "root=" + (install.home.path() / "h\\u000aforged=1\\u0009x").string() +
                "/Library/Application Support/Marrowlark/test/participants/p1");
  EXPECT_TRUE(process.next_out_line().value_or("<no line>").starts_with("endpoint=127.0.0.1:"));
}

// What a kill between the write and the rename of a whole-file replace left in
// the install root is removed at the next start; files of other names stay.
TEST(ConnectorStartup, RemovesTheTemporaryFilesOfAnInterruptedReplace) {
  test::TestInstall install;
  const std::vector<std::string> leftovers = {
      ".peer-endpoint.json.tmp-00112233445566ff", ".features-manifest.json.tmp-0123456789abcdef",
      ".blob-landed.txt.tmp-aaaaaaaaaaaaaaaa", ".blob-land-error.txt.tmp-bbbbbbbbbbbbbbbb"};
  const std::vector<std::string> kept = {".notes.txt.tmp-0123456789abcdef", ".peer-endpoint.json.tmp-mine"};
  for (const auto& name : leftovers) test::write_file(install.root / name, "partial");
  for (const auto& name : kept) test::write_file(install.root / name, "someone else's");
  test::ConnectorProcess process(install);
  process.await_startup();
  for (const auto& name : leftovers) EXPECT_FALSE(fs::exists(install.root / name)) << name;
  for (const auto& name : kept) EXPECT_TRUE(fs::exists(install.root / name)) << name;
}

}  // namespace
}  // namespace kio
