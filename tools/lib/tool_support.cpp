#include "tools/lib/tool_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/bytes.h"
#include "common/os_error.h"
#include "install/crypto.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::tools {

using install::fail;

bool Args::has_flag(const std::string& name) const {
  return std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::optional<std::string> Args::value(const std::string& name) const {
  auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

Result<Args> parse_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                        const std::vector<std::string>& flags) {
  Args args;
  for (int i = first; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.starts_with("--")) {
      if (std::find(with_value.begin(), with_value.end(), word) != with_value.end()) {
        if (i + 1 >= argc) return fail(word + " needs a value");
        if (args.values.contains(word)) return fail(word + " is given twice");
        args.values[word] = argv[++i];
      } else if (std::find(flags.begin(), flags.end(), word) != flags.end()) {
        args.flags.push_back(word);
      } else {
        return fail("unknown option " + word);
      }
    } else {
      args.positional.push_back(word);
    }
  }
  return args;
}

Result<KeyPair> read_keys_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(path.string() + ": " + last_os_error_text());
  SecretText::String text;
  char buf[256];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > 4096) break;
  }
  sodium_memzero(buf, sizeof buf);
  ::close(fd);
  const std::string_view view(text.data(), text.size());
  const auto nl = view.find('\n');
  if (nl == std::string_view::npos) return fail(path.string() + ": expected two lines of hex (noise key, wrap key)");
  auto rest = view.substr(nl + 1);
  const auto nl2 = rest.find('\n');
  auto first = install::hex_decode(view.substr(0, nl));
  auto second = install::hex_decode(rest.substr(0, nl2));
  sodium_memzero(text.data(), text.size());
  if (!first || !second || first->size() != 32 || second->size() != 32) {
    return fail(path.string() + ": expected two lines of 64 hex digits (noise key, wrap key)");
  }
  KeyPair keys{SecretKey(std::span<const std::uint8_t, 32>(first->data(), 32)),
               SecretKey(std::span<const std::uint8_t, 32>(second->data(), 32))};
  sodium_memzero(first->data(), first->size());
  sodium_memzero(second->data(), second->size());
  return keys;
}

Result<void> write_keys_file(const fs::path& path, const KeyPair& keys) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return fail(path.string() + " already exists; it is not replaced");
    return fail(path.string() + ": " + last_os_error_text());
  }
  std::string text = hex_encode(keys.noise_key.span()) + "\n" + hex_encode(keys.wrap_key.span()) + "\n";
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  const int err = errno;
  sodium_memzero(text.data(), text.size());
  ::close(fd);
  if (!ok) return fail(path.string() + ": " + os_error_text(err));
  return {};
}

Result<fs::path> resolve_install_root(const Args& args, bool must_exist) {
  if (auto root = args.value("--root")) return fs::path(*root);
  if (auto name = args.value("--participant")) {
    auto parts = install::participants_root();
    if (!parts) return std::unexpected(parts.error());
    return *parts / *name;
  }
  if (!must_exist) {
    auto parts = install::participants_root();
    if (!parts) return std::unexpected(parts.error());
    return *parts / "default";
  }
  auto roots = install::list_participant_roots();
  if (!roots) return std::unexpected(roots.error());
  if (roots->empty()) return fail("no participants under test/participants; give --root PATH");
  return roots->front();
}

void exit_usage(const std::string& tool, const std::string& message, const std::string& usage) {
  std::fprintf(stderr, "%s: %s\n%s", tool.c_str(), message.c_str(), usage.c_str());
  std::exit(2);
}

void exit_error(const std::string& tool, const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", tool.c_str(), message.c_str());
  std::exit(1);
}

}  // namespace kio::tools
