// The first half of start-up: which install to serve, whether it is ready, and
// the two keys read from standard input.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "install/keys.h"
#include "common/result.h"

namespace kio::connector {


inline constexpr const char* kUsage = "usage: kio-connector [--root PATH]";

// The install root from the arguments after the program name: exactly
// "--root PATH", or none (the first participant install in path order).
Result<std::filesystem::path> install_root_from_args(const std::vector<std::string>& args);

// A ready install has a "persist" directory (links followed).
Result<void> check_ready(const std::filesystem::path& install_root);

// Reads two lines from `fd` (no further than the second line feed), then decodes
// both, then checks both lengths; line 1 is always judged before line 2.
Result<install::InstallKeys> read_keys_from_stdin(int fd = 0);

}  // namespace kio::connector
