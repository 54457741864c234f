// Where an install's pieces live on disk. Pure path computations, one directory
// listing and the process-wide install root; nothing here creates directories.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "install/result.h"

namespace kio::install {

// HOME/Library/Application Support/Marrowlark
Result<std::filesystem::path> product_root();
// product root/test/participants
Result<std::filesystem::path> participants_root();
// The directories (links followed) inside the participants root, in path order.
// A missing participants root is an empty list.
Result<std::vector<std::filesystem::path>> list_participant_roots();

std::filesystem::path persist_root(const std::filesystem::path& install_root);
std::filesystem::path long_term_persist_root(const std::filesystem::path& install_root);
// The "blobs" directory beside the persist root (inside it when it has no parent).
std::filesystem::path blobs_root(const std::filesystem::path& persist_root);
std::filesystem::path peer_endpoint_path(const std::filesystem::path& install_root);

// Fills the process-wide install root once; later calls leave it unchanged.
void set_this_install_root(std::filesystem::path root);
std::optional<std::filesystem::path> this_install_root();

// Paths ordered component by component, each component compared byte by byte; a
// path that is a prefix of another comes first.
int compare_paths(const std::filesystem::path& a, const std::filesystem::path& b);
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kio::install
