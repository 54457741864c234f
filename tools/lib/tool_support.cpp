#include "tools/lib/tool_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/file_io.h"
#include "common/os_error.h"
#include "common/version.h"
#include "install/paths.h"

namespace fs = std::filesystem;

namespace kio::tools {


bool Args::has_flag(const std::string& name) const {
  return std::find(flags.begin(), flags.end(), name) != flags.end();
}

std::optional<std::string> Args::value(const std::string& name) const {
  auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

void answer_help_or_version(int argc, char** argv, const std::string& tool, const std::string& usage) {
  if (argc < 2) return;
  const std::string first = argv[1];
  if (first == "--help" || first == "-h") {
    std::fputs(usage.c_str(), stdout);
  } else if (first == "--version") {
    std::fputs(version_text(tool).c_str(), stdout);
  } else {
    return;
  }
  std::exit(std::fflush(stdout) == 0 ? 0 : 1);
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

Result<install::InstallKeys> read_keys_file(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(path.string() + ": " + last_os_error_text());
  auto lines = install::read_key_lines(fd);
  ::close(fd);
  const std::string malformed = path.string() + ": expected two lines of 64 hex digits (noise key, wrap key)";
  if (!lines) return fail(malformed);
  if (!lines->noise || !lines->wrap) return fail(path.string() + ": expected two lines of hex (noise key, wrap key)");
  auto keys = install::decode_key_lines(*lines->noise, *lines->wrap);
  if (!keys) return fail(malformed);
  return keys;
}

std::optional<std::uint64_t> parse_whole_number(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parse_real_number(std::string_view text) {
  // Digits with at most one point between or around them: no sign, exponent,
  // "inf" or "nan".
  if (text.empty() || text == "." || std::count(text.begin(), text.end(), '.') > 1 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
    return std::nullopt;
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

Result<void> write_keys_file(const fs::path& path, const install::InstallKeys& keys) {
  const SecretText text = install::format_keys(keys);
  WriteOptions options;
  options.mode = 0600;
  options.exact_mode = true;
  options.flush = true;
  options.flush_new_entry = true;
  options.exclusive = true;
  if (auto written = write_file(path, text.view(), options); !written) {
    if (written.error().is(std::errc::file_exists)) return fail(path.string() + " already exists; it is not replaced");
    // A keys file cut short would be read as the wrong keys later.
    ::unlink(path.c_str());
    return fail(path.string() + ": " + written.error());
  }
  return {};
}

Result<fs::path> resolve_install_root(const Args& args, bool must_exist) {
  std::optional<fs::path> given;
  if (auto root = args.value("--root")) {
    given = fs::path(*root);
  } else if (auto name = args.value("--participant"); name || !must_exist) {
    auto parts = install::participants_root();
    if (!parts) return std::unexpected(parts.error());
    given = *parts / name.value_or("default");
  }
  auto root = install::choose_install_root(given);
  if (!root && root.error() == install::NO_PARTICIPANTS) return fail(root.error() + "; give --root PATH");
  return root;
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
