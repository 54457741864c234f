// A running kio-connector for end-to-end tests: a throw-away install with a sealed
// identity, the process with
// its keys on standard input, and its output read line by line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/secret.h"
#include "tests/support/test_support.h"

namespace kio::test {

inline constexpr const char* kFounderId = "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71";

struct TestInstall {
  TempDir home;
  std::filesystem::path root;  // install root
  SecretKey noise_key;
  SecretKey wrap_key;

  // Creates root/persist/identity.json sealed under a fresh wrap key. With
  // `participants` the install lies in HOME's participants layout, else in HOME/install.
  explicit TestInstall(bool participants = false, const std::string& founder_id = kFounderId);
  std::string keys_text() const;  // the two hex lines the connector reads
};

// Seals {"username":..,"founder_id":..} as "identity.json" under `wrap_key`.
void write_identity_file(const std::filesystem::path& persist_root, const SecretKey& wrap_key,
                         const std::string& username, const std::string& founder_id);

class ConnectorProcess {
 public:
  // Starts the connector; `args` default to "--root <install root>".
  explicit ConnectorProcess(const TestInstall& install, std::optional<std::vector<std::string>> args = std::nullopt,
                            std::optional<std::string> stdin_text = std::nullopt);
  // Starts the connector with HOME, arguments and standard input given as they
  // are, in `cwd` when there is one.
  ConnectorProcess(const std::filesystem::path& home, const std::vector<std::string>& args,
                   const std::string& stdin_text, const std::optional<std::filesystem::path>& cwd = std::nullopt);
  ~ConnectorProcess();
  ConnectorProcess(const ConnectorProcess&) = delete;
  ConnectorProcess& operator=(const ConnectorProcess&) = delete;

  // The next line of standard output (without "\n"), or nullopt on time-out/end.
  std::optional<std::string> next_out_line(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::optional<std::string> next_err_line(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads the four start-up lines; returns the port of "endpoint=".
  std::uint16_t await_startup();
  // Everything on standard error that arrives within `window`.
  std::string drain_err(std::chrono::milliseconds window);
  std::string drain_out(std::chrono::milliseconds window);

  // Sends a signal and waits for the process; returns the wait status.
  int stop(int signo);
  // Waits for the process to end by itself; its wait status, or nullopt when it
  // still runs after `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  void start(const std::filesystem::path& home, const std::vector<std::string>& args, const std::string& stdin_text,
             const std::optional<std::filesystem::path>& cwd = std::nullopt);
  std::optional<std::string> next_line(int fd, std::string& buffer, std::chrono::milliseconds timeout);
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_buf_;
  std::string err_buf_;
  bool reaped_ = false;
  int status_ = 0;
};

}  // namespace kio::test
