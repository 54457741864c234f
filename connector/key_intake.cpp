#include "connector/key_intake.h"

#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/utf8.h"
#include "install/crypto.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::connector {

using install::fail;

Result<fs::path> choose_install_root(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "--root") return fs::path(args[1]);
  if (!args.empty()) return fail(kUsage);
  auto roots = install::list_participant_roots();
  if (!roots) return std::unexpected(roots.error());
  if (roots->empty()) return fail("no participants under test/participants");
  return roots->front();  // already in path order
}

Result<void> check_ready(const fs::path& install_root) {
  if (!is_directory_path(install::persist_root(install_root))) {
    return fail("install root is not a ready connector");
  }
  return {};
}

namespace {

// Reads standard input one byte-run at a time, never past what it was asked for,
// so that a starter that keeps the pipe open is never waited on.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // A line without its "\n" (and a "\r" before it), nothing at end of input, or an error.
  Result<std::optional<SecretText>> next_line() {
    SecretText::String line;
    bool got_any = false;
    for (;;) {
      char c;
      const ssize_t n = ::read(fd_, &c, 1);
      if (n < 0) {
        if (errno == EINTR) continue;
        // A starter that closed standard input gave no input at all.
        if (errno == EBADF) break;
        sodium_memzero(line.data(), line.size());
        return fail(last_os_error_text());
      }
      if (n == 0) break;
      got_any = true;
      if (c == '\n') break;
      line.push_back(c);
    }
    if (!got_any) return std::optional<SecretText>{};
    if (!line.empty() && line.back() == '\r') line.pop_back();
    SecretText text(std::string_view(line.data(), line.size()));
    sodium_memzero(line.data(), line.size());
    if (!is_valid_utf8(text.view())) return fail("stream did not contain valid UTF-8");
    return std::optional<SecretText>(std::move(text));
  }

 private:
  int fd_;
};

Result<SecretBytes> decode_key_line(const SecretText& line) {
  auto decoded = install::hex_decode(line.view());
  if (!decoded) return std::unexpected(decoded.error());
  SecretBytes out(decoded->begin(), decoded->end());
  sodium_memzero(decoded->data(), decoded->size());
  return out;
}

}  // namespace

Result<Keys> read_keys_from_stdin(int fd) {
  LineReader reader(fd);
  auto first = reader.next_line();
  if (!first) return std::unexpected(first.error());
  if (!*first) return fail("noise key missing on stdin");
  auto second = reader.next_line();
  if (!second) return std::unexpected(second.error());
  if (!*second) return fail("wrap key missing on stdin");

  auto noise = decode_key_line(**first);
  if (!noise) return std::unexpected(noise.error());
  auto wrap = decode_key_line(**second);
  if (!wrap) return std::unexpected(wrap.error());
  if (noise->size() != SecretKey::size) return fail("noise key must be 32 bytes");
  if (wrap->size() != SecretKey::size) return fail("wrap key must be 32 bytes");
  return Keys{SecretKey(std::span<const std::uint8_t, 32>(noise->data(), 32)),
              SecretKey(std::span<const std::uint8_t, 32>(wrap->data(), 32))};
}

}  // namespace kio::connector
