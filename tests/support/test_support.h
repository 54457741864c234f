// Helpers shared by the tests: throw-away directories, file access, and running
// a real program with arguments, environment and standard input.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kio::test {

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
// The names of a directory's entries, sorted.
std::vector<std::string> names_in(const std::filesystem::path& dir);
void write_file(const std::filesystem::path& path, const std::string& content);
// The permission bits (e.g. 0600) of a path, links not followed.
unsigned file_mode(const std::filesystem::path& path);

std::filesystem::path binary_path(const std::string& name);  // a program of this build
std::filesystem::path source_path(const std::string& relative);  // a file of the source tree
std::filesystem::path data_path(const std::string& relative);  // tests/data in the source tree

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> args;
  std::optional<std::string> stdin_text;          // nullopt: standard input closed at once
  std::map<std::string, std::optional<std::string>> env;  // nullopt removes the variable
  std::optional<std::filesystem::path> cwd;
  int timeout_seconds = 60;
  bool close_stdout = false;  // the program's standard output is a pipe nobody reads
};

// Runs `body` in a child process as an ordinary user, so that file modes hold
// even when the tests run as root (root is made the user "nobody" first).
// Returns the child's exit status, or -1 when it could not be run.
int run_unprivileged(const std::function<int()>& body);

// Runs a program to its end and collects its output.
RunResult run_program(const std::filesystem::path& program, const RunOptions& options);

// A UDP port on 127.0.0.1 that was bound and closed again: nothing listens there.
std::uint16_t closed_udp_port();

// The bytes of a text, one byte a character.
std::vector<std::uint8_t> bytes_of(std::string_view text);
std::string hex_of(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> from_hex(const std::string& hex);
// `size` bytes of a fixed pseudo-random sequence chosen by `seed`.
std::vector<std::uint8_t> pseudo_random(std::size_t size, std::uint32_t seed);

// The JSON of a feature frame admitting `feature`, and of a geonames pack (sent
// under install::GEONAMES_FEATURE_ID) whose only feature is `feature`.
std::string admission_json(const std::string& feature);
std::string geonames_pack_json(const std::string& feature);

}  // namespace kio::test
