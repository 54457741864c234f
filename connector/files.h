// Plain whole-file writes of the connector's own files (endpoint, manifest,
// status files): created or truncated in place, no temporary file, no rename.
#pragma once

#include <filesystem>
#include <string_view>

#include "install/result.h"

namespace kio::connector {

using install::Result;

Result<std::string> read_whole_file(const std::filesystem::path& path);
// With `flush`, the bytes reach the device before the call returns.
Result<void> write_whole_file(const std::filesystem::path& path, std::string_view bytes, bool flush = false);
Result<void> set_mode(const std::filesystem::path& path, unsigned mode);

}  // namespace kio::connector
