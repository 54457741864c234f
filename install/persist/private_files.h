// The store's private files and directories, and its error texts. Every
// directory of the store is owner-only (0700) and every file it writes 0600;
// a write reaches the device before it returns, and so does the directory
// entry of a file or directory it creates.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include <nlohmann/json.hpp>

#include "common/result.h"

namespace kio::install {

// "<description> (os error N)".
std::string io_error(const std::error_code& ec);
// The JSON library's own description of a failure.
std::string json_error(const nlohmann::json::exception& e);

// Sets the directory's mode to exactly 0700.
Result<void> set_dir_private(const std::filesystem::path& dir);
// Creates the parent (0700), creates or truncates the file, sets it to 0600,
// writes all bytes and flushes them to the device. No temporary file.
Result<void> write_private(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

namespace detail {

// Creates the directory and its missing ancestors, flushing each new entry to the
// device, then sets the directory itself to mode 0700.
Result<void> create_private_dir(const std::filesystem::path& dir);
// The same for the directory that holds `path`, when the path names one.
Result<void> create_private_parent(const std::filesystem::path& path);

}  // namespace detail

}  // namespace kio::install
