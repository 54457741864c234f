#include "install/paths.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "common/file_io.h"
#include "common/utf8.h"

namespace fs = std::filesystem;

namespace kio::install {

Result<fs::path> product_root() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || !is_valid_utf8(std::string_view(home))) return fail("HOME is not set");
  return fs::path(home) / "Library" / "Application Support" / "Marrowlark";
}

Result<fs::path> participants_root() {
  auto product = product_root();
  if (!product) return std::unexpected(product.error());
  return *product / "test" / "participants";
}

Result<std::vector<fs::path>> list_participant_roots() {
  auto root = participants_root();
  if (!root) return std::unexpected(root.error());
  if (!is_directory_path(*root)) return std::vector<fs::path>{};
  auto names = list_directory(*root);
  if (!names) return std::unexpected(names.error());
  std::vector<fs::path> roots;
  for (const std::string& name : *names) {
    fs::path candidate = *root / name;
    if (is_directory_path(candidate)) roots.push_back(std::move(candidate));
  }
  std::stable_sort(roots.begin(), roots.end());
  return roots;
}

Result<fs::path> choose_install_root(const std::optional<fs::path>& given) {
  if (given) return *given;
  auto roots = list_participant_roots();
  if (!roots) return std::unexpected(roots.error());
  if (roots->empty()) return fail(NO_PARTICIPANTS);
  return roots->front();  // already in path order
}

fs::path persist_root(const fs::path& install_root) { return install_root / "persist"; }

fs::path long_term_persist_root(const fs::path& install_root) { return persist_root(install_root); }

fs::path blobs_root(const fs::path& persist_root) {
  // Only an empty path and a file-system root have no parent; the parent of a
  // single relative component is the empty path, so "persist" gives "blobs".
  // A trailing separator or "." names the same directory: "P/persist/" is P/persist,
  // whose parent is P.
  fs::path path = persist_root;
  while (path.has_relative_path() && (path.filename().empty() || path.filename() == ".")) {
    path = path.parent_path();
  }
  const bool is_root = path.has_root_path() && path.relative_path().empty();
  if (path.empty() || is_root) return path / "blobs";
  return path.parent_path() / "blobs";
}

int compare_paths(const fs::path& a, const fs::path& b) {
  auto ia = a.begin(), ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    const int c = std::string_view(ia->native()).compare(ib->native());
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (ia == a.end()) return ib == b.end() ? 0 : -1;
  return 1;
}

bool same_path(const fs::path& a, const fs::path& b) { return compare_paths(a, b) == 0; }

fs::path peer_endpoint_path(const fs::path& install_root) { return install_root / "peer-endpoint.json"; }

fs::path features_manifest_path(const fs::path& install_root) { return install_root / "features-manifest.json"; }

fs::path blob_landed_path(const fs::path& install_root) { return install_root / "blob-landed.txt"; }

fs::path blob_land_error_path(const fs::path& install_root) { return install_root / "blob-land-error.txt"; }

namespace {
std::once_flag install_root_once;
std::optional<fs::path> install_root_cell;
}  // namespace

void set_this_install_root(fs::path root) {
  std::call_once(install_root_once, [&] { install_root_cell = std::move(root); });
}

std::optional<fs::path> this_install_root() {
  // Readers only look after the one write has happened (the connector never reads it back).
  return install_root_cell;
}

}  // namespace kio::install
