#include "install/keys.h"

#include <unistd.h>

#include <cerrno>

#include "common/os_error.h"
#include "common/utf8.h"
#include "install/crypto.h"

namespace kio::install {
namespace {

// A line without its "\n" (and a "\r" before it), nothing at end of input, or an error.
Result<std::optional<SecretText>> next_line(int fd) {
  SecretText::String line;
  bool got_any = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A writer that closed the descriptor gave no input at all.
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

Result<SecretBytes> decode_line(const SecretText& line) {
  auto decoded = hex_decode(line.view());
  if (!decoded) return std::unexpected(decoded.error());
  SecretBytes out(decoded->begin(), decoded->end());
  sodium_memzero(decoded->data(), decoded->size());
  return out;
}

}  // namespace

Result<KeyLines> read_key_lines(int fd) {
  KeyLines lines;
  auto first = next_line(fd);
  if (!first) return std::unexpected(first.error());
  if (!*first) return lines;
  lines.noise = std::move(**first);
  auto second = next_line(fd);
  if (!second) return std::unexpected(second.error());
  if (*second) lines.wrap = std::move(**second);
  return lines;
}

Result<InstallKeys> decode_key_lines(const SecretText& noise_line, const SecretText& wrap_line) {
  auto noise = decode_line(noise_line);
  if (!noise) return std::unexpected(noise.error());
  auto wrap = decode_line(wrap_line);
  if (!wrap) return std::unexpected(wrap.error());
  if (noise->size() != SecretKey::size) return fail("noise key must be 32 bytes");
  if (wrap->size() != SecretKey::size) return fail("wrap key must be 32 bytes");
  return InstallKeys{SecretKey(std::span<const std::uint8_t, SecretKey::size>(noise->data(), SecretKey::size)),
                     SecretKey(std::span<const std::uint8_t, SecretKey::size>(wrap->data(), SecretKey::size))};
}

SecretText format_keys(const InstallKeys& keys) {
  constexpr std::size_t line = 2 * SecretKey::size + 1;  // digits and "\n"
  // Written in place, so that no unwiped copy of a key's digits is left behind;
  // each line's terminating NUL is overwritten by its line feed.
  char text[2 * line];
  sodium_bin2hex(text, line, keys.noise_key.data(), SecretKey::size);
  sodium_bin2hex(text + line, line, keys.wrap_key.data(), SecretKey::size);
  text[line - 1] = '\n';
  text[2 * line - 1] = '\n';
  SecretText secret(std::string_view(text, sizeof text));
  sodium_memzero(text, sizeof text);
  return secret;
}

}  // namespace kio::install
