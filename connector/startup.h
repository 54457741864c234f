// Opening an install for the connector: one writer at a time, and what a killed
// writer left behind cleared before anything new is written.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/file_system.h"
#include "common/result.h"
#include "common/secret.h"
#include "install/persist/persist.h"

namespace kio::connector {

struct OpenedInstall {
  Fd lock;  // held for the process's life: a second connector is refused
  install::Persist store;
};

// Takes the install's lock (refused while another writer holds it), removes the
// temporary files of the whole-file replaces a kill interrupted, opens the store
// (which repairs a torn tail and settles a pack left pending), and removes the
// spool files and landing staging directories of streams a kill cut short.
// `root_text` is the install root as the refusal names it.
Result<OpenedInstall> open_install(const std::filesystem::path& root, SecretKey wrap_key, std::string_view root_text);

// The spool files and landing staging directories in the blobs root: what a
// crash left of streams being received or landed, with no use now.
void clear_stream_leftovers(const std::filesystem::path& blobs_root);

}  // namespace kio::connector
