// Where an install's pieces live on disk, for the connector and the tools alike:
// pure path computations, the choice of the install to serve, and the
// process-wide install root. Nothing here creates directories.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "common/result.h"

namespace kio::install {

// HOME/Library/Application Support/Marrowlark
Result<std::filesystem::path> product_root();
// product root/test/participants
Result<std::filesystem::path> participants_root();
// The directories (links followed) inside the participants root, in path order.
// A missing participants root is an empty list.
Result<std::vector<std::filesystem::path>> list_participant_roots();

inline constexpr char NO_PARTICIPANTS[] = "no participants under test/participants";
// The install to serve: `given` when there is one (taken verbatim), else the
// first participant install in path order; NO_PARTICIPANTS when there is none.
Result<std::filesystem::path> choose_install_root(const std::optional<std::filesystem::path>& given);

std::filesystem::path persist_root(const std::filesystem::path& install_root);
std::filesystem::path long_term_persist_root(const std::filesystem::path& install_root);
// The "blobs" directory beside the persist root (inside it when it has no parent).
std::filesystem::path blobs_root(const std::filesystem::path& persist_root);

// Files the connector keeps in the install root, beside the store.
std::filesystem::path peer_endpoint_path(const std::filesystem::path& install_root);
std::filesystem::path features_manifest_path(const std::filesystem::path& install_root);
// The status files of the last landing: what landed, or why it failed.
std::filesystem::path blob_landed_path(const std::filesystem::path& install_root);
std::filesystem::path blob_land_error_path(const std::filesystem::path& install_root);

// Fills the process-wide install root once; later calls leave it unchanged.
void set_this_install_root(std::filesystem::path root);
std::optional<std::filesystem::path> this_install_root();

// Paths ordered component by component, each component compared byte by byte; a
// path that is a prefix of another comes first.
int compare_paths(const std::filesystem::path& a, const std::filesystem::path& b);
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kio::install
