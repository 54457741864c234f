#include "connector/key_intake.h"

#include <optional>

#include "common/file_io.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::connector {


Result<fs::path> install_root_from_args(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "--root") return install::choose_install_root(fs::path(args[1]));
  if (!args.empty()) return fail(kUsage);
  return install::choose_install_root(std::nullopt);
}

Result<void> check_ready(const fs::path& install_root) {
  if (!is_directory_path(install::persist_root(install_root))) {
    return fail("install root is not a ready connector");
  }
  return {};
}

Result<install::InstallKeys> read_keys_from_stdin(int fd) {
  auto lines = install::read_key_lines(fd);
  if (!lines) return std::unexpected(lines.error());
  if (!lines->noise) return fail("noise key missing on stdin");
  if (!lines->wrap) return fail("wrap key missing on stdin");
  return install::decode_key_lines(*lines->noise, *lines->wrap);
}

}  // namespace kio::connector
