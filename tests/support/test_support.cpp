#include "tests/support/test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "install/geonames.h"

extern char** environ;

namespace fs = std::filesystem;

namespace kio::test {

TempDir::TempDir() {
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("kio-test-" + std::to_string(rd()) + std::to_string(::getpid()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = fs::canonical(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests narrow modes; widen them again so the tree can be removed.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(path_.c_str(), 0700);
  fs::remove_all(path_, ec);
}

int run_unprivileged(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::geteuid() == 0) {
      constexpr uid_t kNobody = 65534;
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
    }
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path.string());
  out << content;
}

unsigned file_mode(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0xFFFFFFFFu;
  return st.st_mode & 07777;
}

fs::path binary_path(const std::string& name) {
  for (const char* sub : {"connector", "tools", ""}) {
    fs::path p = fs::path(KIO_BINARY_DIR) / sub / name;
    if (fs::exists(p)) return p;
  }
  return fs::path(KIO_BINARY_DIR) / name;
}

fs::path source_path(const std::string& relative) { return fs::path(KIO_SOURCE_DIR) / relative; }

fs::path data_path(const std::string& relative) { return fs::path(KIO_SOURCE_DIR) / "tests" / "data" / relative; }

RunResult run_program(const fs::path& program, const RunOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> env_strings;
  std::map<std::string, std::string> env_map;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env_map[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : options.env) {
    if (v) env_map[k] = *v;
    else env_map.erase(k);
  }
  for (const auto& [k, v] : env_map) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string prog = program.string();
  std::vector<std::string> arg_strings{prog};
  arg_strings.insert(arg_strings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& s : arg_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (options.cwd && ::chdir(options.cwd->c_str()) != 0) ::_exit(127);
    ::execve(prog.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::signal(SIGPIPE, SIG_IGN);
  if (options.close_stdout) {
    // Closed before the program is given its input, so its first write fails.
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  if (options.stdin_text) {
    const std::string& text = *options.stdin_text;
    size_t off = 0;
    while (off < text.size()) {
      const ssize_t n = ::write(in_pipe[1], text.data() + off, text.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
  ::close(in_pipe[1]);

  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  int open_fds = out_pipe[0] < 0 ? 1 : 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (auto& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n <= 0) {
        ::close(f.fd);
        f.fd = -1;
        --open_fds;
      } else {
        (f.fd == out_pipe[0] ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds) {
    if (f.fd >= 0) ::close(f.fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::uint16_t closed_udp_port() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(fd);
  if (!bound) throw std::runtime_error("cannot bind a UDP port on 127.0.0.1");
  return ntohs(address.sin_port);
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  static constexpr char d[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    out.push_back(d[b >> 4]);
    out.push_back(d[b & 0xF]);
  }
  return out;
}

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<std::uint8_t> pseudo_random(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> out(size);
  for (auto& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

std::string admission_json(const std::string& feature) {
  return R"({"schema":"kio.bootstrap.feature-admit.v1","feature":")" + feature + R"("})";
}

std::string geonames_pack_json(const std::string& feature) {
  return R"({"schema":"kio.feature.pack.v1","id":")" + std::string(install::GEONAMES_FEATURE_ID) +
         R"(","blob":"b1","class":"feature","short_name":"geo","description":"d","geonames_id":1,"features":[")" +
         feature + R"("],"actions":[]})";
}

}  // namespace kio::test
