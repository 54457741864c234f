#include "tests/support/connector_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "install/keys.h"
#include "install/persist/persist.h"

namespace fs = std::filesystem;

namespace kio::test {

void write_identity_file(const fs::path& persist_root, const SecretKey& wrap_key, const std::string& username,
                         const std::string& founder_id) {
  fs::create_directories(persist_root);
  auto written = install::write_identity(persist_root, wrap_key, install::InstallIdentity{username, founder_id});
  if (!written) throw std::runtime_error(written.error());
}

TestInstall::TestInstall(bool participants, const std::string& founder_id) {
  root = participants ? home / "Library/Application Support/Marrowlark/test/participants/p1" : home / "install";
  randombytes_buf(noise_key.data(), SecretKey::size);
  randombytes_buf(wrap_key.data(), SecretKey::size);
  write_identity_file(root / "persist", wrap_key, "tester", founder_id);
}

std::string TestInstall::keys_text() const {
  return std::string(install::format_keys(install::InstallKeys{noise_key, wrap_key}).view());
}

ConnectorProcess::ConnectorProcess(const TestInstall& install, std::optional<std::vector<std::string>> args,
                                   std::optional<std::string> stdin_text) {
  start(install.home.path(), args ? *args : std::vector<std::string>{"--root", install.root.string()},
        stdin_text ? *stdin_text : install.keys_text());
}

ConnectorProcess::ConnectorProcess(const fs::path& home, const std::vector<std::string>& args,
                                   const std::string& stdin_text, const std::optional<fs::path>& cwd) {
  start(home, args, stdin_text, cwd);
}

void ConnectorProcess::start(const fs::path& home, const std::vector<std::string>& args, const std::string& keys,
                             const std::optional<fs::path>& cwd) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  const std::string program = binary_path("kio-connector").string();
  std::vector<std::string> argv_s{program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_s) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::setenv("HOME", home.c_str(), 1);
    if (cwd && ::chdir(cwd->c_str()) != 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);
  if (::write(in_pipe[1], keys.data(), keys.size()) < 0) {
    // the process may already have ended; its output says why
  }
  ::close(in_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

ConnectorProcess::~ConnectorProcess() {
  if (!reaped_) stop(SIGKILL);
  ::close(out_fd_);
  ::close(err_fd_);
}

std::optional<std::string> ConnectorProcess::next_line(int fd, std::string& buffer, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (const auto nl = buffer.find('\n'); nl != std::string::npos) {
      std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    buffer.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> ConnectorProcess::next_out_line(std::chrono::milliseconds timeout) {
  return next_line(out_fd_, out_buf_, timeout);
}

std::optional<std::string> ConnectorProcess::next_err_line(std::chrono::milliseconds timeout) {
  return next_line(err_fd_, err_buf_, timeout);
}

std::uint16_t ConnectorProcess::await_startup() {
  std::vector<std::string> lines;
  for (int i = 0; i < 4; ++i) {
    auto line = next_out_line();
    if (!line) throw std::runtime_error("connector did not start; stderr: " + drain_err(std::chrono::milliseconds(200)));
    lines.push_back(*line);
  }
  const std::string prefix = "endpoint=127.0.0.1:";
  if (!lines[3].starts_with(prefix)) throw std::runtime_error("unexpected endpoint line " + lines[3]);
  return static_cast<std::uint16_t>(std::stoi(lines[3].substr(prefix.size())));
}

namespace {
std::string drain(int fd, std::string& buffer, std::chrono::milliseconds window) {
  const auto deadline = std::chrono::steady_clock::now() + window;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    buffer.append(buf, static_cast<std::size_t>(n));
  }
  std::string out;
  out.swap(buffer);
  return out;
}
}  // namespace

std::string ConnectorProcess::drain_err(std::chrono::milliseconds window) { return drain(err_fd_, err_buf_, window); }
std::string ConnectorProcess::drain_out(std::chrono::milliseconds window) { return drain(out_fd_, out_buf_, window); }

std::optional<int> ConnectorProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int ConnectorProcess::stop(int signo) {
  if (reaped_) return status_;
  ::kill(pid_, signo);
  ::waitpid(pid_, &status_, 0);
  reaped_ = true;
  return status_;
}

}  // namespace kio::test
