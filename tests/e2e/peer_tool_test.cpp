// kio-peer as a person at a terminal meets it: what its failures say, and the
// progress it shows on a terminal and only there.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "install/crypto.h"
#include "install/geonames.h"
#include "p2p/protocol.h"
#include "tests/support/connector_process.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kio {
namespace {

test::RunResult run_peer(std::vector<std::string> args, const fs::path& home) {
  test::RunOptions options;
  options.args = std::move(args);
  options.env["HOME"] = home.string();
  options.stdin_text = "";
  return test::run_program(test::binary_path("kio-peer"), options);
}

// Runs kio-peer with a pseudo-terminal as its standard input, output and error;
// returns its exit status and everything it wrote.
std::pair<int, std::string> run_peer_in_terminal(const std::vector<std::string>& args, const fs::path& home) {
  const std::string program = test::binary_path("kio-peer").string();
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    ::setenv("HOME", home.c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd p{terminal, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program and its terminal are gone
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// "  [####......] 12.5%    9.9 MB/s  3 s left": the rate and what follows it.
struct Bar {
  double rate = 0;
  std::string tail;
};

std::optional<Bar> parse_bar(const std::string& shown) {
  char cells[31] = {};
  double percent = 0;
  Bar bar;
  int consumed = 0;
  if (std::sscanf(shown.c_str(), " [%30[#.]] %lf%% %lf MB/s  %n", cells, &percent, &bar.rate, &consumed) != 3 ||
      std::string_view(cells).size() != 30 || consumed == 0) {
    return std::nullopt;
  }
  bar.tail = shown.substr(static_cast<std::size_t>(consumed));
  bar.tail.erase(bar.tail.find_last_not_of(' ') + 1);
  return bar;
}

std::string noise_public_hex(const SecretKey& key) {
  std::vector<std::uint8_t> public_key(32);
  crypto_scalarmult_base(public_key.data(), key.data());
  return test::hex_of(public_key);
}

TEST(PeerTool, HandshakeFailuresSayWhatTheyMostLikelyMean) {
  test::TestInstall install;
  test::ConnectorProcess connector(install);
  const std::string port = std::to_string(connector.await_startup());
  const std::string closed = std::to_string(test::closed_udp_port());
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {"nothing listens",
       {"--connect", "127.0.0.1:" + closed},
       "kio-peer: handshake with 127.0.0.1:" + closed +
           " failed: nothing listens on that port (is the connector running?)\n"},
      {"KK to the connector",
       {"--root", install.root.string(), "--kk", noise_public_hex(install.noise_key)},
       "kio-peer: handshake with 127.0.0.1:" + port +
           " failed: the connector did not answer a KK handshake within 1 s: it keeps no relationships, so it "
           "answers no KK handshake; use XX (leave out --kk)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"send-admit", "--json", R"({"feature":"maps"})", "--timeout", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = run_peer(args, install.home.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
  // The connector's own line for the refused KK handshake is as it was.
  EXPECT_EQ(connector.next_err_line(), "kio-connector: recv: Known relationship is missing or not accepted");
}

// A landing that is never reported (here: the stream lands in another install
// than the one whose status files are watched) points to the connector's line
// about a stream that stopped arriving.
TEST(PeerTool, WaitingInVainPointsToLostDatagramsAndTheStalledStreamLine) {
  test::TestInstall served;
  test::TestInstall watched;
  test::ConnectorProcess connector(served);
  const std::string port = std::to_string(connector.await_startup());
  test::write_file(served.home / "index" / "data.mdb", std::string(3000, 'd'));
  const auto r = run_peer({"send-index", (served.home / "index").string(), "--connect", "127.0.0.1:" + port, "--root",
                           watched.root.string(), "--wait", "--timeout", "1", "--rate", "20"},
                          served.home.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kio-peer: no landing was reported within 1 s: datagrams were most likely lost at this rate "
                   "(--rate 20), and a stream that lost one cannot complete; send it again with a lower --rate. "
                   "The connector reports the stream on its standard error 10 s after its last frame arrived: "
                   "\"kio-connector: stream: stream " +
                       std::string(install::GEONAMES_INDEX_BLOB_ID) + " stalled: N of 1 frames arrived; abandoned\"\n");
  EXPECT_EQ(connector.next_out_line(), "blob_received=" + std::string(install::GEONAMES_INDEX_BLOB_ID));
}

// Relays datagrams between senders and a connector on 127.0.0.1, each sender
// through a socket of its own (so the connector sees one address per sender),
// and loses the first data-channel packet of each of the first `lossy` sessions
// it sees: a path that loses a datagram, as a sender too fast for its receiver does.
class LossyRelay {
 public:
  LossyRelay(std::uint16_t connector_port, int lossy) : lossy_(lossy) {
    listen_ = bound_socket();
    connector_.sin_family = AF_INET;
    connector_.sin_port = htons(connector_port);
    connector_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    thread_ = std::thread([this] { run(); });
  }
  ~LossyRelay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
    for (const auto& c : clients_) ::close(c.upstream);
  }
  std::uint16_t port() const {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }
  int lost() const { return lost_; }

 private:
  struct Client {
    sockaddr_in address;
    int upstream;
  };
  static int bound_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("relay socket");
    return fd;
  }
  void run() {
    std::vector<std::uint8_t> buffer(65536);
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      for (const auto& c : clients_) fds.push_back({c.upstream, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        sockaddr_in from{};
        socklen_t n = sizeof from;
        const ssize_t got = ::recvfrom(listen_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
        if (got > 0) forward_up(from, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        const ssize_t got = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
        if (got > 0) {
          ::sendto(listen_, buffer.data(), static_cast<std::size_t>(got), 0,
                   reinterpret_cast<const sockaddr*>(&clients_[i - 1].address), sizeof(sockaddr_in));
        }
      }
    }
  }
  void forward_up(const sockaddr_in& from, std::span<const std::uint8_t> datagram) {
    if (const auto packet = p2p::decode_packet(datagram);
        packet && packet->header.msg_type == p2p::MsgType::Data && packet->header.channel_id == 1 &&
        seen_.insert(packet->header.session_id).second && lost_ < lossy_) {
      ++lost_;
      return;
    }
    auto it = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) {
      return c.address.sin_port == from.sin_port && c.address.sin_addr.s_addr == from.sin_addr.s_addr;
    });
    if (it == clients_.end()) {
      const int upstream = bound_socket();
      ::connect(upstream, reinterpret_cast<const sockaddr*>(&connector_), sizeof connector_);
      clients_.push_back({from, upstream});
      it = clients_.end() - 1;
    }
    ::send(it->upstream, datagram.data(), datagram.size(), 0);
  }

  int listen_ = -1;
  sockaddr_in connector_{};
  const int lossy_;
  std::atomic<int> lost_{0};
  std::set<std::uint64_t> seen_;
  std::vector<Client> clients_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A stream that lost a datagram on the way is abandoned by the connector; the
// sender that waits for the landing reads why, sends it again at half the
// rate, and says so. With no retry left it ends with the connector's reason.
TEST(PeerTool, WaitSendsAnAbandonedStreamAgainAtHalfTheRate) {
  test::TestInstall install;
  test::ConnectorProcess connector(install);
  const std::uint16_t port = connector.await_startup();
  test::write_file(install.home / "index" / "data.mdb", std::string(5000, 'd'));
  const std::string stalled =
      "stream " + std::string(install::GEONAMES_INDEX_BLOB_ID) + " stalled: 5 of 6 frames arrived; abandoned";
  struct Case {
    std::string name;
    int lossy;  // sessions that lose a datagram
    std::string retries;
    int exit_code;
    std::string err;
  };
  const Case cases[] = {
      {"the second attempt lands", 1, "2", 0,
       "kio-peer: " + stalled + "; sending it again at 10 MB/s (retry 1 of 2)\n"},
      {"every attempt loses a datagram", 1000, "1", 1,
       "kio-peer: " + stalled + "; sending it again at 10 MB/s (retry 1 of 1)\nkio-peer: landing failed: " + stalled +
           "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LossyRelay relay(port, c.lossy);
    const auto r = run_peer({"send-index", (install.home / "index").string(), "--connect",
                             "127.0.0.1:" + std::to_string(relay.port()), "--root", install.root.string(), "--wait",
                             "--rate", "20", "--frame-size", "1000", "--timeout", "30", "--retries", c.retries},
                            install.home.path());
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out.find("landed:") != std::string::npos, c.exit_code == 0) << r.out;
    EXPECT_EQ(relay.lost(), c.exit_code == 0 ? 1 : 2);
    EXPECT_EQ(connector.next_err_line(1s), "kio-connector: stream: " + stalled);
    if (c.exit_code == 0) {
      EXPECT_EQ(connector.next_out_line(1s), "blob_received=" + std::string(install::GEONAMES_INDEX_BLOB_ID));
      connector.next_out_line(1s);
      connector.next_out_line(1s);
    } else {
      EXPECT_EQ(connector.next_err_line(1s), "kio-connector: stream: " + stalled);
    }
  }
}

// On a terminal each phase has its own line, rewritten in place, with the rate
// measured so far; with standard output a pipe none of it is written.
TEST(PeerTool, ProgressLinesOnATerminalOnly) {
  test::TestInstall install;
  test::ConnectorProcess connector(install);
  connector.await_startup();
  std::string body(2'000'000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13 % 251);
  test::write_file(install.home / "index" / "data.mdb", body);
  // Paced, so that sending takes a few tenths of a second and the line is redrawn.
  const std::vector<std::string> args{"send-index", (install.home / "index").string(), "--root",
                                      install.root.string(), "--wait", "--rate", "10"};

  const auto [status, terminal] = run_peer_in_terminal(args, install.home.path());
  ASSERT_EQ(status, 0) << terminal;
  // Split where the terminal would start over: at a carriage return or a line feed.
  std::vector<std::string> drawn;
  std::string current;
  for (const char ch : terminal) {
    if (ch == '\r' || ch == '\n') {
      if (!current.empty()) drawn.push_back(current);
      current.clear();
    } else {
      current += ch;
    }
  }
  std::map<std::string, std::vector<std::string>> phases;  // name: what its line showed, in order
  for (const auto& line : drawn) {
    for (const std::string name : {"hashing", "sending", "waiting for the landing"}) {
      if (line.starts_with(name + "  ")) phases[name].push_back(line.substr(name.size()));
    }
  }
  for (const std::string name : {"hashing", "sending"}) {
    SCOPED_TRACE(name);
    ASSERT_FALSE(phases[name].empty()) << terminal;
    for (const auto& shown : phases[name]) {
      const auto bar = parse_bar(shown);
      ASSERT_TRUE(bar) << shown;
      EXPECT_GT(bar->rate, 0.0) << shown;
      if (name == "sending") {
        EXPECT_LE(bar->rate, 10.0) << "paced at 10 MB/s: " << shown;
      }
      EXPECT_TRUE(bar->tail.ends_with(" left") || bar->tail.starts_with("in ")) << shown;
    }
    EXPECT_TRUE(phases[name].back().find("100.0%") != std::string::npos) << phases[name].back();
  }
  EXPECT_GT(phases["sending"].size(), 1u) << "the line is redrawn while the stream is sent";
  ASSERT_FALSE(phases["waiting for the landing"].empty()) << terminal;
  EXPECT_TRUE(phases["waiting for the landing"].back().starts_with("  landed after "))
      << phases["waiting for the landing"].back();
  // Each phase ends its line before the next output starts.
  EXPECT_NE(terminal.find(" s\r\nsent stream "), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("\r\nlanded:\r\n"), std::string::npos) << terminal;
  EXPECT_EQ(connector.next_out_line(), "blob_received=" + std::string(install::GEONAMES_INDEX_BLOB_ID));

  const auto piped = run_peer(args, install.home.path());
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_TRUE(piped.out.starts_with("sent stream " + std::string(install::GEONAMES_INDEX_BLOB_ID) + ": 1 files, "))
      << piped.out;
  EXPECT_EQ(piped.out.find('\r'), std::string::npos) << piped.out;
  for (const std::string name : {"hashing", "sending", "waiting for the landing"}) {
    EXPECT_EQ(piped.out.find(name), std::string::npos) << piped.out;
  }
  EXPECT_EQ(piped.err, "");
}

}  // namespace
}  // namespace kio
