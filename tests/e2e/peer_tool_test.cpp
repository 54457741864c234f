// kio-peer as a person at a terminal meets it: what its failures say, and the
// progress it shows on a terminal and only there.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <optional>

#include "install/crypto.h"
#include "install/geonames.h"
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
