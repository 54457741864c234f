// Bulk streams through the real kio-connector: a stream larger than every
// buffer of the receiver, streams of two sessions side by side, a stream that
// loses a chunk, and landing that records nothing for a refused stream.
#include <gtest/gtest.h>
#include <sodium.h>

#include <thread>

#include "install/crypto.h"
#include "install/geonames.h"
#include "install/persist/persist.h"
#include "install/stream_format.h"
#include "p2p/chunking.h"
#include "peer/peer_client.h"
#include "peer/stream_plan.h"
#include "tests/support/connector_process.h"
#include "tests/support/stream_files.h"
#include "tests/support/xx_peer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kio {
namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kIndexBlob = install::GEONAMES_INDEX_BLOB_ID;

// The stream of one file record "data.mdb" whose body is made from its offset,
// so that no part of the test holds the stream.
class GeneratedStream final : public install::ByteSource {
 public:
  explicit GeneratedStream(std::uint64_t body_size) : body_size_(body_size) {
    const std::string name = "data.mdb";
    append_le<std::uint32_t>(header_, static_cast<std::uint32_t>(name.size()));
    header_.insert(header_.end(), name.begin(), name.end());
    append_le<std::uint64_t>(header_, body_size);
    install::Sha256 stream_sha, body_sha;
    stream_sha.update(header_);
    Bytes block(1 << 20);
    for (std::uint64_t at = 0; at < body_size; at += block.size()) {
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), body_size - at));
      fill_body(at, std::span<std::uint8_t>(block.data(), take));
      stream_sha.update(std::span<const std::uint8_t>(block.data(), take));
      body_sha.update(std::span<const std::uint8_t>(block.data(), take));
    }
    sha256_ = stream_sha.finish_hex();
    body_sha256_ = body_sha.finish_hex();
  }
  std::uint64_t size() const override { return header_.size() + body_size_; }
  kio::Result<void> read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::size_t filled = 0;
    for (; filled < out.size() && offset + filled < header_.size(); ++filled) out[filled] = header_[offset + filled];
    fill_body(offset + filled - header_.size(), out.subspan(filled));
    return {};
  }
  const std::string& sha256() const { return sha256_; }
  install::FileStreamEntry entry() const { return {"data.mdb", body_size_, body_sha256_}; }

 private:
  static void fill_body(std::uint64_t at, std::span<std::uint8_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      std::uint64_t x = (at + i) / 8 + 0x9E3779B97F4A7C15u;
      x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
      x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
      out[i] = static_cast<std::uint8_t>((x ^ (x >> 31)) >> (8 * ((at + i) % 8)));
    }
  }
  Bytes header_;
  std::uint64_t body_size_;
  std::string sha256_, body_sha256_;
};

class Ingest : public ::testing::Test {
 protected:
  void SetUp() override {
    process_ = std::make_unique<test::ConnectorProcess>(install_);
    port_ = process_->await_startup();
  }

  peer::PeerClient connect(std::uint64_t session_id) { return test::connect_xx(port_, session_id); }

  static std::vector<peer::OutgoingMessage> plan(const std::vector<install::NamedFile>& files, const Bytes& stream,
                                                 std::optional<std::vector<install::FileStreamEntry>> listed = {}) {
    return peer::plan_stream({install::GEONAMES_FEATURE_ID, kIndexBlob, "bytes",
                              listed ? *listed : test::file_entries(files)},
                             stream, 4096)
        .value();
  }
  static void send(peer::PeerClient& client, const std::vector<peer::OutgoingMessage>& messages, std::size_t from = 0,
                   std::size_t to = SIZE_MAX) {
    for (std::size_t i = from; i < std::min(to, messages.size()); ++i) {
      ASSERT_TRUE(client.send(messages[i].channel, messages[i].bytes));
    }
  }

  fs::path blobs() const { return install_.root / "blobs"; }
  std::vector<fs::path> spools() const {
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(blobs(), ec)) {
      if (e.path().filename().string().starts_with(".spool-")) found.push_back(e.path());
    }
    return found;
  }
  std::size_t recorded_blobs() {
    auto store = install::Persist::open(install_.root / "persist", install_.wrap_key);
    return store.value().blob_records().value().size();
  }

  std::string out_line() { return process_->next_out_line().value_or("<no line>"); }
  std::string err_line(std::chrono::milliseconds timeout = 20s) {
    return process_->next_err_line(timeout).value_or("<no line>");
  }

  test::TestInstall install_;
  std::unique_ptr<test::ConnectorProcess> process_;
  std::uint16_t port_ = 0;
};

const std::vector<install::NamedFile> kFiles = {{"data.mdb", Bytes(20000, 'd')}, {"lock.mdb", Bytes{'L'}}};

TEST_F(Ingest, AStreamLargerThanEveryBufferLands) {
  // Larger than the partial frames, the receive queue and the socket buffer
  // together, and than the 128 MiB a whole-stream buffer once reserved.
  GeneratedStream stream(std::uint64_t{144} << 20);
  auto plan = peer::StreamPlan::create({install::GEONAMES_FEATURE_ID, kIndexBlob, "bytes", {stream.entry()}}, stream,
                                       stream.sha256());
  ASSERT_TRUE(plan) << plan.error();
  auto client = connect(1);
  // The test paces itself by the spool's growth, so that a loaded machine
  // cannot make it lose datagrams: at most 8 stream frames in flight.
  const std::uint64_t frame = peer::StreamPlan::DEFAULT_STREAM_FRAME_SIZE;
  std::uint64_t frames_sent = 0;
  while (auto message = plan->next()) {
    if (message->channel == 0 && message->bytes[0] == p2p::FRAME_REGISTRATION_MARKER) {
      const auto deadline = std::chrono::steady_clock::now() + 30s;
      for (;;) {
        std::uint64_t spooled = 0;
        for (const auto& spool : spools()) spooled += fs::file_size(spool);
        if (frames_sent < 8 || spooled + 8 * frame >= frames_sent * frame) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the spool stopped growing at " << spooled;
        std::this_thread::sleep_for(1ms);
      }
      ++frames_sent;
    }
    ASSERT_TRUE(client.send(message->channel, message->bytes));
  }
  ASSERT_FALSE(plan->error());
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + stream.sha256());
  out_line();
  EXPECT_EQ(install::sha256_file(blobs() / (kIndexBlob + ".lmdb") / "data.mdb").value(), stream.entry().sha256);
  EXPECT_EQ(install::sha256_file(blobs() / kIndexBlob).value(), stream.sha256());
  EXPECT_TRUE(spools().empty());
  EXPECT_EQ(process_->drain_err(50ms), "");
}

TEST_F(Ingest, TheLargestFrameTheFormatAllowsLands) {
  // One frame of 65,535 full chunks (about 84 MiB), far beyond what partial
  // frames may hold in memory.
  GeneratedStream stream(p2p::MAX_STREAM_FRAME_SIZE - 20);
  ASSERT_EQ(stream.size(), p2p::MAX_STREAM_FRAME_SIZE);
  auto plan = peer::StreamPlan::create({install::GEONAMES_FEATURE_ID, kIndexBlob, "bytes", {stream.entry()}}, stream,
                                       stream.sha256(), p2p::MAX_STREAM_FRAME_SIZE);
  ASSERT_TRUE(plan) << plan.error();
  auto client = connect(1);
  std::size_t chunks = 0;
  while (auto message = plan->next()) {
    ASSERT_TRUE(client.send(message->channel, message->bytes));
    // Paced, so that a loaded machine does not lose datagrams.
    if (message->channel == 1 && ++chunks % 32 == 0) std::this_thread::sleep_for(1ms);
  }
  ASSERT_FALSE(plan->error());
  EXPECT_EQ(chunks, 65535u);
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + stream.sha256());
  out_line();
  EXPECT_EQ(install::sha256_file(blobs() / (kIndexBlob + ".lmdb") / "data.mdb").value(), stream.entry().sha256);
  EXPECT_TRUE(spools().empty());
  EXPECT_EQ(process_->drain_err(50ms), "");
}

TEST_F(Ingest, AnotherSessionCannotResetOrFeedAStream) {
  const Bytes stream = install::pack_files(kFiles);
  const auto messages = plan(kFiles, stream);
  auto first = connect(1);
  auto second = connect(2);
  send(first, messages, 0, messages.size() / 2);

  // The second session: a 5-byte message on the data channel, its own
  // announcement, and the first session's remaining frames, which only
  // overfill its own small stream.
  ASSERT_TRUE(second.send(1, Bytes(5, 0)));
  EXPECT_EQ(err_line(), "kio-connector: stream: Wire format error: Chunk buffer too small");
  const Bytes other = install::pack_files(std::vector<install::NamedFile>{{"x", Bytes{1}}});
  send(second, plan({{"x", Bytes{1}}}, other), 0, 1);
  send(second, messages, messages.size() / 2);
  EXPECT_EQ(err_line(), "kio-connector: stream: stream " + kIndexBlob + " failed: Wire format error: file stream size mismatch");

  send(first, messages, messages.size() / 2);
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + install::sha256_hex(stream));
  out_line();
  EXPECT_EQ(test::read_file(blobs() / (kIndexBlob + ".lmdb") / "data.mdb"), std::string(20000, 'd'));
  EXPECT_EQ(process_->drain_err(100ms), "");
}

TEST_F(Ingest, AStreamThatLostAChunkIsReportedAndAbandoned) {
  const Bytes stream = install::pack_files(kFiles);
  auto messages = plan(kFiles, stream);  // ann, then per frame of 4096: reg + 4 chunks
  auto client = connect(1);
  // One stream lands, and its spool went with it.
  send(client, messages);
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  out_line();
  out_line();
  EXPECT_TRUE(spools().empty());

  // The same stream again with one chunk of the third frame left out.
  const std::size_t left_out = 1 + 2 * 5 + 3;
  ASSERT_EQ(messages[left_out].channel, 1);
  messages.erase(messages.begin() + static_cast<std::ptrdiff_t>(left_out));
  send(client, messages);
  for (int i = 0; i < 500 && spools().empty(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(spools().size(), 1u);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(err_line(20s), "kio-connector: stream: stream " + kIndexBlob + " stalled: 4 of 5 frames arrived; abandoned");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 9s);
  // Written where its sender looks, as a landing that failed would be.
  const fs::path status = install_.root / "blob-land-error.txt";
  for (int i = 0; i < 200 && !fs::exists(status); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(test::read_file(status), "stream " + kIndexBlob + " stalled: 4 of 5 frames arrived; abandoned\n");
  EXPECT_TRUE(spools().empty());
  EXPECT_EQ(process_->drain_out(100ms), "");
}

TEST_F(Ingest, AStreamRefusedForAnUnsafeNameLeavesRoomForTheCorrectOne) {
  auto unsafe = kFiles;
  unsafe.push_back({"../escape", Bytes{'x'}});
  const Bytes bad = install::pack_files(unsafe);
  auto client = connect(1);
  send(client, plan(unsafe, bad, test::file_entries(kFiles)));
  EXPECT_EQ(err_line(), "kio-connector: blob: Wire format error: unsafe file stream name");
  EXPECT_EQ(recorded_blobs(), 0u);
  EXPECT_FALSE(fs::exists(blobs() / (kIndexBlob + ".lmdb")));

  const Bytes good = install::pack_files(kFiles);
  send(client, plan(kFiles, good));
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + install::sha256_hex(good));
  out_line();
  EXPECT_EQ(recorded_blobs(), 1u);
  EXPECT_EQ(test::read_file(blobs() / (kIndexBlob + ".lmdb") / "lock.mdb"), "L");
  EXPECT_FALSE(fs::exists(install_.root.parent_path() / "escape"));
  EXPECT_EQ(process_->drain_err(100ms), "");
}

// A peer that sends on other channels before its stream still lands it: those
// channels cannot take the replay windows that channels 0 and 1 need.
TEST_F(Ingest, AStreamLandsAfterThePeerUsedOtherChannelsFirst) {
  auto client = connect(1);
  for (std::uint8_t channel = 2; channel <= 5; ++channel) ASSERT_TRUE(client.send(channel, Bytes{0x01, channel}));
  const Bytes stream = install::pack_files(kFiles);
  send(client, plan(kFiles, stream));
  EXPECT_EQ(out_line(), "blob_received=" + kIndexBlob);
  EXPECT_EQ(out_line(), "blob_sha256=" + install::sha256_hex(stream));
  out_line();
  EXPECT_EQ(test::read_file(blobs() / (kIndexBlob + ".lmdb") / "lock.mdb"), "L");
}

// A spool or staging directory left by a crash has no use after a restart.
TEST(IngestStartup, RemovesWhatACrashLeftOfStreams) {
  test::TestInstall install;
  const fs::path blobs = install.root / "blobs";
  fs::create_directories(blobs / (".incoming-" + kIndexBlob));
  test::write_file(blobs / (".incoming-" + kIndexBlob) / "packed.bin", "partial");
  test::write_file(blobs / ".spool-a1b2c3", "partial");
  test::write_file(blobs / kIndexBlob, "a blob stays");
  test::ConnectorProcess process(install);
  process.await_startup();
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(blobs)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{kIndexBlob});
}

}  // namespace
}  // namespace kio
