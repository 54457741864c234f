// kio-peer: the sending side, for peers and for testing. It finds a connector's
// port, completes a Noise handshake as initiator and sends feature frames or a
// bootstrap stream.
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "common/sodium_ready.h"
#include "common/bytes.h"
#include "common/file_io.h"
#include "common/uuid.h"
#include "install/crypto.h"
#include "install/geonames.h"
#include "install/json.h"
#include "install/landing_status.h"
#include "install/paths.h"
#include "install/stream_format.h"
#include "install/stream_reports.h"
#include "p2p/chunking.h"
#include "p2p/kiofeature_frame.h"
#include "peer/packed_directory.h"
#include "peer/peer_client.h"
#include "peer/stream_plan.h"
#include "tools/lib/phase_line.h"
#include "tools/lib/tool_support.h"

namespace fs = std::filesystem;
using namespace kio;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTool = "kio-peer";
// The highest rate at which scripts/bench-stream landed a 1 GiB stream with
// nothing lost, every time, on the shared 2-core development machine was 120 MB/s;
// a fifth is kept in hand.
constexpr double kDefaultRateMBps = 100.0;

constexpr const char* kUsage =
    "usage: kio-peer COMMAND [ARG] [options]\n"
    "\n"
    "commands:\n"
    "  send-pack FILE.json   send a feature pack as a geonames feature frame\n"
    "  send-admit FILE.json  send an admission record (or --json TEXT instead of FILE)\n"
    "  send-index DIR        pack DIR's files into a bootstrap stream and send it\n"
    "\n"
    "where the connector is (one of):\n"
    "  --root PATH           read the port from PATH/peer-endpoint.json\n"
    "  --participant NAME    the participant install NAME under HOME (default: the first)\n"
    "  --connect HOST:PORT   connect to this address\n"
    "\n"
    "options:\n"
    "  --static-key FILE     this peer's Noise static private key (hex); default: a fresh one\n"
    "  --participant-id UUID this peer's participant id; default: a fresh UUIDv7\n"
    "  --kk HEX              KK handshake with the responder's static public key (hex);\n"
    "                        default: XX. kio-connector keeps no relationships and so\n"
    "                        answers no KK handshake\n"
    "  --feature-id UUID     send-admit: the frame's feature id (default: a fresh UUIDv7);\n"
    "                        send-index: the announced feature id (default: geonames)\n"
    "  --blob-id UUID        send-index: the announced blob id (default: the geonames index)\n"
    "  --class CLASS         send-index: bytes (default) or feature\n"
    "  --frame-size BYTES    send-index: stream bytes per frame (default 1048576, at most\n"
    "                        87685830, 65535 chunks of 1338 bytes)\n"
    "  --rate MB/S           send-index: pacing in megabytes per second (default 100; 0: none)\n"
    "  --wait                send-index: wait until the install reports the landing and\n"
    "                        exit 0 (landed) or 1 (failed); needs --root or --participant\n"
    "  --retries N           send-index --wait: a stream the connector abandoned part-way\n"
    "                        (datagrams lost) is sent again at half the rate, at most N\n"
    "                        times (default 2)\n"
    "  --count N             send-pack, send-admit: send the frame N times, back to back\n"
    "                        (default 1)\n"
    "  --per-second N        send-pack, send-admit with --count: pace the frames at N a\n"
    "                        second (default 0: none)\n"
    "  --timeout SECONDS     for the handshake and --wait (default 60)\n"
    "  --timing              send-index: also print when the first and the last message\n"
    "                        left (Unix seconds) and this process's peak memory, for\n"
    "                        benchmarks\n"
    "\n"
    "send-index shows its progress when standard output is a terminal.\n";

struct Options {
  tools::Args args;
  std::string command;
  std::optional<std::string> operand;
};

[[noreturn]] void usage(const std::string& message) { tools::exit_usage(kTool, message, kUsage); }
[[noreturn]] void die(const std::string& message) {
  tools::PhaseLine::end_open();
  tools::exit_error(kTool, message);
}

std::optional<fs::path> install_root_of(const tools::Args& args) {
  if (!args.value("--root") && !args.value("--participant") && args.value("--connect")) return std::nullopt;
  auto root = tools::resolve_install_root(args, /*must_exist=*/true);
  if (!root) die(root.error());
  return *root;
}

p2p::SocketAddress target_of(const tools::Args& args, const std::optional<fs::path>& root) {
  if (auto connect = args.value("--connect")) {
    auto address = p2p::SocketAddress::parse(*connect);
    if (!address) usage("--connect takes HOST:PORT with a numeric IPv4 or [IPv6] host");
    return *address;
  }
  const fs::path path = install::peer_endpoint_path(*root);
  auto text = read_file(path);
  if (!text) die(path.string() + ": " + text.error() + " (is the connector running?)");
  auto json = install::json::read_value(*text, install::json::Duplicates::refuse);
  if (!json) die(path.string() + " is not readable JSON");
  auto host = install::json::get_string(*json, "host");
  auto port = install::json::get_u16(*json, "port");
  if (!host || !port) die(path.string() + " has no host and port");
  auto address = p2p::SocketAddress::parse(*host + ":" + std::to_string(*port));
  if (!address) die(path.string() + ": cannot use host " + *host);
  return *address;
}

std::chrono::seconds timeout_of(const tools::Args& args) {
  const auto seconds = tools::parse_whole_number(args.value("--timeout").value_or("60"));
  // Beyond a year is no time-out a user means, and would overflow the clock's arithmetic.
  if (!seconds || *seconds == 0 || *seconds > 366u * 24 * 3600) usage("--timeout takes a positive number of seconds");
  return std::chrono::seconds(static_cast<std::chrono::seconds::rep>(*seconds));
}

// How many times --wait sends a stream again that the connector abandoned.
unsigned retries_of(const tools::Args& args) {
  constexpr unsigned kDefaultRetries = 2, kMostRetries = 100;
  const auto text = args.value("--retries");
  if (!text) return kDefaultRetries;
  unsigned retries = 0;
  const bool digits = !text->empty() && text->size() <= 3 &&
                      std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) retries = static_cast<unsigned>(std::stoul(*text));
  if (!digits || retries > kMostRetries) usage("--retries takes a number from 0 to " + std::to_string(kMostRetries));
  return retries;
}

// What a failed handshake most likely means. A connector that refuses a
// handshake stays silent, so silence is all a refusal shows.
std::string handshake_failure(const p2p::P2PError& error, p2p::HandshakePattern pattern, std::chrono::seconds timeout) {
  if (peer::nothing_listens(error)) return "nothing listens on that port (is the connector running?)";
  if (!peer::answered_nothing(error)) return error.display();
  const std::string within = " within " + std::to_string(timeout.count()) + " s";
  if (pattern == p2p::HandshakePattern::KK) {
    return "the connector did not answer a KK handshake" + within +
           ": it keeps no relationships, so it answers no KK handshake; use XX (leave out --kk)";
  }
  return "the connector did not answer" + within + " (its standard error may say why)";
}

// A send that fails because the connector went away says so.
std::string send_failure(const p2p::P2PError& error) {
  if (peer::nothing_listens(error)) return "nothing listens on that port any more (did the connector stop?)";
  return error.display();
}

peer::PeerClient connect(const tools::Args& args, const p2p::SocketAddress& target) {
  SecretKey static_key;
  if (auto key_file = args.value("--static-key")) {
    auto text = read_file(*key_file);
    if (!text) die(*key_file + ": " + text.error());
    auto key = install::hex_decode(text->substr(0, text->find('\n')));
    sodium_memzero(text->data(), text->size());
    if (!key || key->size() != 32) die(*key_file + ": expected 64 hex digits");
    static_key = SecretKey(std::span<const std::uint8_t, 32>(key->data(), 32));
    sodium_memzero(key->data(), key->size());
  } else {
    randombytes_buf(static_key.data(), 32);
  }
  const std::string participant_text = args.value("--participant-id").value_or(format_uuid(new_uuid_v7()));
  auto participant = p2p::ParticipantId::from_str(participant_text);
  if (!participant) usage("--participant-id must be a lowercase UUIDv7");

  auto pattern = p2p::HandshakePattern::XX;
  std::optional<std::array<std::uint8_t, 32>> responder_key;
  if (auto kk = args.value("--kk")) {
    auto key = install::hex_decode(*kk);
    if (!key || key->size() != 32) usage("--kk takes the connector's public key as 64 hex digits");
    std::array<std::uint8_t, 32> k{};
    std::copy(key->begin(), key->end(), k.begin());
    responder_key = k;
    pattern = p2p::HandshakePattern::KK;
  }
  std::uint64_t session_id = 0;
  randombytes_buf(&session_id, sizeof session_id);
  const auto timeout = timeout_of(args);
  auto client = peer::PeerClient::connect(target, static_key, *participant, pattern, responder_key, session_id,
                                          std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
  if (!client) die("handshake with " + target.to_string() + " failed: " + handshake_failure(client.error(), pattern, timeout));
  return std::move(*client);
}

std::vector<std::uint8_t> read_input_file(const std::string& path) {
  auto text = read_file(path);
  if (!text) die(path + ": " + text.error());
  return {text->begin(), text->end()};
}

// How many times to send a frame, and how fast (--count, --per-second).
struct Repeat {
  std::uint64_t count = 1;
  double per_second = 0;  // 0: back to back
};

Repeat repeat_of(const tools::Args& args) {
  Repeat repeat;
  if (auto c = args.value("--count")) {
    const auto parsed = tools::parse_whole_number(*c);
    if (!parsed || *parsed == 0) usage("--count takes a whole number from 1");
    repeat.count = *parsed;
  }
  if (auto r = args.value("--per-second")) {
    const auto parsed = tools::parse_real_number(*r);
    if (!parsed) usage("--per-second takes a number, 0 or more");
    repeat.per_second = *parsed;
  }
  return repeat;
}

void send_frame(peer::PeerClient& client, const std::string& feature_id, const std::vector<std::uint8_t>& payload,
                const Repeat& repeat) {
  auto id = parse_uuid(feature_id);
  if (!id) usage("not a UUID: " + feature_id);
  const auto frame = p2p::encode_feature_frame(*id, 0, payload);
  if (frame.size() > p2p::MAX_DATA_PLAINTEXT_LEN) {
    die("the feature frame is " + std::to_string(frame.size()) + " bytes; one data packet carries at most " +
        std::to_string(p2p::MAX_DATA_PLAINTEXT_LEN));
  }
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  for (std::uint64_t n = 0; n < repeat.count; ++n) {
    if (repeat.per_second > 0 && n > 0) {
      std::this_thread::sleep_until(started + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(static_cast<double>(n) / repeat.per_second)));
    }
    if (auto sent = client.send(p2p::KIOFEATURE_FRAME_CHANNEL, frame); !sent) {
      die("send failed: " + send_failure(sent.error()));
    }
  }
  if (repeat.count == 1) {
    std::printf("sent feature frame %s (%zu payload bytes) to %s\n", feature_id.c_str(), payload.size(),
                client.target().to_string().c_str());
  } else {
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("sent feature frame %s (%zu payload bytes) %llu times to %s in %.3f s\n", feature_id.c_str(),
                payload.size(), static_cast<unsigned long long>(repeat.count), client.target().to_string().c_str(),
                seconds);
  }
}

std::string landed_after(const char* outcome, double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%s after %.1f s", outcome, seconds);
  return text;
}

// What send-index sends: the directory packed (its files read once here for
// their digests and again while they are sent, never held in memory), the
// stream's description, its stream frame size and the pacing to start with.
struct IndexStream {
  peer::PackedDirectory packed;
  peer::StreamDescription description;
  std::size_t frame_size = peer::StreamPlan::DEFAULT_STREAM_FRAME_SIZE;
  double rate = kDefaultRateMBps;  // MB/s, 0: unpaced
};

IndexStream plan_index_stream(const Options& o, bool show_progress) {
  tools::PhaseLine hashing(show_progress, "hashing");
  std::uint64_t hashed = 0, to_hash = 0;
  auto packed = peer::PackedDirectory::scan(*o.operand, [&](std::uint64_t read, std::uint64_t total) {
    hashed = read;
    to_hash = total;
    hashing.bytes(read, total);
  });
  if (!packed) die(packed.error());
  hashing.end_bytes(hashed, to_hash);
  IndexStream stream{std::move(*packed), {}};
  stream.description = peer::StreamDescription{o.args.value("--feature-id").value_or(install::GEONAMES_FEATURE_ID),
                                               o.args.value("--blob-id").value_or(install::GEONAMES_INDEX_BLOB_ID),
                                               o.args.value("--class").value_or("bytes"), stream.packed.entries()};
  if (auto f = o.args.value("--frame-size")) {
    const auto parsed = tools::parse_whole_number(*f);
    if (!parsed) usage("--frame-size and --rate take numbers");
    stream.frame_size = static_cast<std::size_t>(std::min<std::uint64_t>(*parsed, SIZE_MAX));
  }
  if (auto r = o.args.value("--rate")) {
    const auto parsed = tools::parse_real_number(*r);
    if (!parsed) usage(r->starts_with('-') ? "--rate cannot be negative" : "--frame-size and --rate take numbers");
    stream.rate = *parsed;
  }
  // The largest frame a registration can describe: 65,535 full chunks.
  if (stream.frame_size == 0 || stream.frame_size > p2p::MAX_STREAM_FRAME_SIZE) {
    usage("--frame-size takes 1 to " + std::to_string(p2p::MAX_STREAM_FRAME_SIZE) + " bytes");
  }
  return stream;
}

// The messages of one attempt; each attempt starts from the stream's beginning.
peer::StreamPlan plan_messages(IndexStream& stream) {
  auto plan = peer::StreamPlan::create(stream.description, stream.packed, stream.packed.sha256(), stream.frame_size);
  if (!plan) die(plan.error());
  return std::move(*plan);
}

// Sends every message of the plan, paced at `rate` MB/s (0: unpaced), and
// prints the summary; returns the rate reached, in MB/s.
double send_paced(const Options& o, peer::PeerClient& client, peer::StreamPlan& plan, const IndexStream& stream,
                  double rate, bool show_progress) {
  const auto unix_now = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  const double first_send = unix_now();
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t sent_bytes = 0, messages = 0;
  const std::uint64_t stream_size = stream.packed.size();
  tools::PhaseLine sending(show_progress, "sending");
  while (auto message = plan.next()) {
    if (auto sent = client.send(message->channel, message->bytes); !sent) die("send failed: " + send_failure(sent.error()));
    sent_bytes += message->bytes.size();
    ++messages;
    if (rate > 0) {
      // Paced so that a receiver on the same machine keeps up with every datagram.
      const auto due = start + std::chrono::duration<double>(static_cast<double>(sent_bytes) / (rate * 1e6));
      if (due > std::chrono::steady_clock::now()) std::this_thread::sleep_until(due);
    }
    sending.bytes(plan.produced_bytes(), stream_size);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double last_send = unix_now();
  if (plan.error()) die(*plan.error());
  sending.end_bytes(plan.produced_bytes(), stream_size);
  if (o.args.has_flag("--timing")) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("first_send=%.6f\nlast_send=%.6f\npeak_rss_kib=%ld\n", first_send, last_send, usage.ru_maxrss);
  }
  const double reached = seconds > 0 ? static_cast<double>(stream_size) / 1e6 / seconds : 0.0;
  std::printf("sent stream %s: %zu files, %llu bytes, %llu messages in %.3f s (%.1f MB/s)\nsha256=%s\n",
              stream.description.blob_id.c_str(), stream.packed.entries().size(),
              static_cast<unsigned long long>(stream_size), static_cast<unsigned long long>(messages), seconds,
              reached, plan.announcement().sha256.c_str());
  std::fflush(stdout);
  return reached;
}

// What the install's status files said after a stream was sent.
struct WaitOutcome {
  bool landed = false;
  std::optional<std::string> report;  // the error file's message, when it was rewritten for this stream
};

// The status files as they were before a stream was sent.
struct StatusBefore {
  install::StatusSnapshot landed, error;
  static StatusBefore take(const fs::path& root) {
    return {install::StatusSnapshot::take(install::blob_landed_path(root)),
            install::StatusSnapshot::take(install::blob_land_error_path(root))};
  }
};

WaitOutcome wait_for_landing(const fs::path& root, const peer::StreamPlan& plan,
                             const peer::StreamDescription& description, StatusBefore before,
                             std::chrono::seconds timeout, bool show_progress) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  tools::PhaseLine waiting(show_progress, "waiting for the landing");
  while (std::chrono::steady_clock::now() < deadline) {
    waiting.waited(timeout);
    // Each file is replaced whole, so one read whole holds a complete report:
    // the landed file's five lines, the error file's one.
    const auto landed = install::StatusSnapshot::take(install::blob_landed_path(root));
    if (landed.rewritten_since(before.landed) && install::reports_landing(landed.content, plan.announcement().sha256)) {
      waiting.end_with(landed_after("landed", waiting.seconds()));
      std::printf("landed:\n%s", landed.content.c_str());
      return {true, std::nullopt};
    }
    auto error = install::StatusSnapshot::take(install::blob_land_error_path(root));
    if (error.rewritten_since(before.error)) {
      if (auto report = install::land_error_message(error.content)) {
        // Another sender's stream that will not land is not this one's answer.
        if (install::reports_other_stream(*report, description.blob_id)) {
          before.error = std::move(error);
        } else {
          waiting.end_with(landed_after("failed", waiting.seconds()));
          return {false, std::move(*report)};
        }
      }
    }
    std::this_thread::sleep_for(20ms);
  }
  waiting.end_with(landed_after("no report", waiting.seconds()));
  return {};
}

// Nothing tells the sender of a lost datagram; the connector notices the
// stream stop and reports it.
[[noreturn]] void die_unreported(const peer::StreamPlan& plan, const peer::StreamDescription& description, double rate,
                                 std::chrono::seconds timeout) {
  char rate_text[48];
  if (rate > 0) {
    std::snprintf(rate_text, sizeof rate_text, "at this rate (--rate %g)", rate);
  } else {
    std::snprintf(rate_text, sizeof rate_text, "at full speed (--rate 0)");
  }
  die("no landing was reported within " + std::to_string(timeout.count()) +
      " s: datagrams were most likely lost " + rate_text +
      ", and a stream that lost one cannot complete; send it again with a lower --rate. The connector " +
      "reports the stream on its standard error 10 s after its last frame arrived: \"kio-connector: stream: stream " +
      description.blob_id + " stalled: N of " + std::to_string(plan.announcement().segment_count) +
      " frames arrived; abandoned\"");
}

int send_index(const Options& o) {
  const auto root = install_root_of(o.args);
  const bool wait = o.args.has_flag("--wait");
  if (wait && !root) usage("--wait needs --root or --participant to find the status files");
  const bool show_progress = ::isatty(STDOUT_FILENO) != 0;
  IndexStream stream = plan_index_stream(o, show_progress);
  auto plan = plan_messages(stream);

  const auto target = target_of(o.args, root);
  const unsigned retries = retries_of(o.args);
  const auto timeout = timeout_of(o.args);
  double rate = stream.rate;
  // Each attempt is a session of its own: the connector has dropped the stream
  // of the last one, and may have ended that session too.
  for (unsigned attempt = 0;; ++attempt) {
    if (attempt > 0) plan = plan_messages(stream);
    auto client = connect(o.args, target);
    const StatusBefore before = root ? StatusBefore::take(*root) : StatusBefore{};
    const double sent_rate = send_paced(o, client, plan, stream, rate, show_progress);
    if (!wait) return 0;

    const auto outcome = wait_for_landing(*root, plan, stream.description, before, timeout, show_progress);
    if (outcome.landed) return 0;
    if (!outcome.report) die_unreported(plan, stream.description, rate, timeout);
    // A stream that stopped arriving part-way lost datagrams on the way: sent
    // again more slowly, it can land. Any other report is the answer.
    if (!install::reports_abandoned_stream(*outcome.report, stream.description.blob_id) || attempt >= retries) {
      die("landing failed: " + *outcome.report);
    }
    // Unpaced, the rate the last attempt reached is the one to halve.
    rate = (rate > 0 ? rate : sent_rate) / 2;
    char again[64];
    std::snprintf(again, sizeof again, "%.4g MB/s (retry %u of %u)", rate, attempt + 1, retries);
    tools::PhaseLine::end_open();
    std::fprintf(stderr, "kio-peer: %s; sending it again at %s\n", outcome.report->c_str(), again);
    std::fflush(stderr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  sodium_ready();
  tools::answer_help_or_version(argc, argv, kTool, kUsage);
  if (argc < 2) usage("a command is required");
  Options o;
  o.command = argv[1];
  if (o.command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  auto args = tools::parse_args(argc, argv, 2,
                                {"--root", "--participant", "--connect", "--static-key", "--participant-id", "--kk",
                                 "--feature-id", "--blob-id", "--class", "--frame-size", "--rate", "--timeout", "--json",
                                 "--retries", "--count", "--per-second"},
                                {"--wait", "--timing", "--help"});
  if (!args) usage(args.error());
  o.args = std::move(*args);
  if (o.args.has_flag("--help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (o.args.positional.size() > 1) usage("unexpected argument " + o.args.positional[1]);
  if (!o.args.positional.empty()) o.operand = o.args.positional[0];

  if (o.command == "send-pack") {
    if (!o.operand) usage("send-pack needs FILE.json");
    const auto payload = read_input_file(*o.operand);
    const auto target = target_of(o.args, install_root_of(o.args));
    auto client = connect(o.args, target);
    send_frame(client, install::GEONAMES_FEATURE_ID, payload, repeat_of(o.args));
    return 0;
  }
  if (o.command == "send-admit") {
    std::vector<std::uint8_t> payload;
    if (auto json = o.args.value("--json")) {
      if (o.operand) usage("give either FILE.json or --json TEXT");
      payload.assign(json->begin(), json->end());
    } else if (o.operand) {
      payload = read_input_file(*o.operand);
    } else {
      usage("send-admit needs FILE.json or --json TEXT");
    }
    const auto target = target_of(o.args, install_root_of(o.args));
    auto client = connect(o.args, target);
    send_frame(client, o.args.value("--feature-id").value_or(format_uuid(new_uuid_v7())), payload, repeat_of(o.args));
    return 0;
  }
  if (o.command == "send-index") {
    if (!o.operand) usage("send-index needs DIR");
    return send_index(o);
  }
  usage("unknown command " + o.command);
}
