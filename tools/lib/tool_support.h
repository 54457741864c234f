// What the command-line tools share: option parsing, the keys file, the install
// root, and the two ways a tool ends (usage error: status 2; runtime error:
// status 1). The keys' text and the install layout come from the install
// library, as the connector uses them.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <cstdint>
#include <vector>

#include "install/keys.h"
#include "common/result.h"

namespace kio::tools {


// Options of the form "--name value" or "--flag"; everything else is positional.
struct Args {
  std::map<std::string, std::string> values;
  std::vector<std::string> flags;
  std::vector<std::string> positional;

  bool has_flag(const std::string& name) const;
  std::optional<std::string> value(const std::string& name) const;
};

// `with_value` names the options that take a value, `flags` those that do not; any
// other "--" word is a usage error.
Result<Args> parse_args(int argc, char** argv, int first, const std::vector<std::string>& with_value,
                        const std::vector<std::string>& flags);

// A number given on the command line, taken exactly: decimal digits only for a
// whole number (no sign, no spaces, nothing after, no overflow), and a plain
// finite decimal for a real number. Anything else is nothing.
std::optional<std::uint64_t> parse_whole_number(std::string_view text);
std::optional<double> parse_real_number(std::string_view text);

// The keys file: the two lines the connector reads on its standard input.
Result<install::InstallKeys> read_keys_file(const std::filesystem::path& path);
// Creates the file with mode 0600; refuses to replace an existing one.
Result<void> write_keys_file(const std::filesystem::path& path, const install::InstallKeys& keys);

// The install root named by --root, or the participant install named by
// --participant under HOME; when neither is given, the first participant
// install in path order, or for a new install (`must_exist` false) "default".
Result<std::filesystem::path> resolve_install_root(const Args& args, bool must_exist);

// `TOOL --help` (or -h) prints the usage on standard output and `TOOL --version`
// the tool's name and the project's version; both end the process with status 0.
// Either is recognised as the first argument only.
void answer_help_or_version(int argc, char** argv, const std::string& tool, const std::string& usage);

[[noreturn]] void exit_usage(const std::string& tool, const std::string& message, const std::string& usage);
[[noreturn]] void exit_error(const std::string& tool, const std::string& message);

}  // namespace kio::tools
