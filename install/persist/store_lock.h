// One writer per install. The process that writes an install's store (the
// connector, or kio-install while it creates one) holds an exclusive lock on
// the persist directory for as long as it runs; a second one is refused before
// it writes anything. The lock is advisory and leaves nothing on disk: it goes
// with the process, also when the process is killed. Readers never take it.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/file_io.h"
#include "common/result.h"

namespace kio::install {

// Creates the persist root if it is missing (with its ancestors), then locks it
// without waiting. The lock is held while the returned descriptor stays open.
// A store locked by another process fails with
// "install root <root_text> is in use by another process", where `root_text`
// is the install root as the caller shows it to its user.
Result<Fd> lock_store(const std::filesystem::path& persist_root, std::string_view root_text);

}  // namespace kio::install
