// kio-connector: the network-facing receiver of one install.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "common/version.h"
#include "connector/endpoint.h"
#include "connector/event_loop.h"
#include "connector/key_intake.h"
#include "connector/output.h"
#include "connector/startup.h"
#include "install/paths.h"
#include "install/persist/persist.h"
#include "p2p/identity.h"
#include "p2p/p2pmanager.h"
#include "p2p/relationship.h"

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int signo) { g_stop_signal = signo; }

int fail_startup(const std::string& message) {
  std::fprintf(stderr, "kio-connector: %s\n", message.c_str());
  return 1;
}

// SIGTERM and SIGINT let the message in hand finish (so no manifest, blob or
// status file is left half-written), then end the process by that same signal.
void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  // Interrupted system calls go on: the loop looks at the flag between messages.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

[[noreturn]] void end_by_signal(int signo) {
  std::fflush(stdout);
  std::signal(signo, SIG_DFL);
  std::raise(signo);
  std::_Exit(128 + signo);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kio;
  // A closed standard output must be an error to report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  // Each line reaches the reader when its line feed is written, also through a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const std::vector<std::string> args(argv + 1, argv + argc);
  // --version alone answers and ends, as the packaged programs all do. The
  // connector has no help text: its manual page says what it does, and every other
  // argument form, --help included, is the usage error.
  if (args.size() == 1 && args[0] == "--version") {
    std::fputs(version_text("kio-connector").c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  auto root = connector::install_root_from_args(args);
  if (!root) return fail_startup(root.error());
  if (auto ready = connector::check_ready(*root); !ready) return fail_startup(ready.error());
  install::set_this_install_root(*root);

  auto keys = connector::read_keys_from_stdin(0);
  if (!keys) return fail_startup(keys.error());

  // The install root as "root=" shows it: one line whatever the path holds.
  const std::string root_text = connector::single_line(utf8_lossy(root->string()));
  auto opened = connector::open_install(*root, std::move(keys->wrap_key), root_text);
  if (!opened) return fail_startup(opened.error());
  install::Persist* const store = &opened->store;
  auto participant = p2p::ParticipantId::from_str(store->founder_id());
  if (!participant) return fail_startup(participant.error().display());
  auto identity = p2p::SessionIdentity::from_unsealed_private_key(std::move(keys->noise_key));
  if (!identity) return fail_startup(identity.error().display());
  const auto bind = p2p::SocketAddress::parse("127.0.0.1:0");
  auto manager = p2p::P2PManager::create(*bind, *participant, std::move(*identity));
  if (!manager) return fail_startup(manager.error().display());
  auto local = manager->local_addr();
  if (!local) return fail_startup(local.error().display());
  if (auto written = connector::write_endpoint(*root, local->port()); !written) return fail_startup(written.error());

  const connector::Output output;
  connector::EventLoop loop(*root, *store, *manager, output);
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"started", "connector"},
                                    {"transport", "udp"},
                                    {"root", root_text},
                                    {"endpoint", local->to_string()}}) {
    if (!output.line(name, value)) return fail_startup("cannot write to standard output: " + last_os_error_text());
  }

  // Until here a signal simply ends the process: nothing is half-written, and a
  // start-up waiting for its keys must not outlive its starter.
  install_stop_handlers();
  loop.set_stop_flag(&g_stop_signal);
  loop.start();
  for (;;) {
    if (g_stop_signal != 0) end_by_signal(g_stop_signal);
    loop.turn();
  }
}
