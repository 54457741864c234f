#include "tests/support/stream_files.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "install/crypto.h"
#include "tests/support/test_support.h"

namespace kio::test {

namespace fs = std::filesystem;

std::vector<install::NamedFile> read_directory_files(const fs::path& dir) {
  std::vector<install::NamedFile> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    files.emplace_back(entry.path().filename().string(), bytes_of(read_file(entry.path())));
  }
  std::sort(files.begin(), files.end(),
            [](const install::NamedFile& a, const install::NamedFile& b) { return a.first < b.first; });
  return files;
}

std::vector<install::FileStreamEntry> file_entries(const std::vector<install::NamedFile>& files) {
  std::vector<install::FileStreamEntry> entries;
  entries.reserve(files.size());
  for (const auto& [name, body] : files) entries.push_back({name, body.size(), install::sha256_hex(body)});
  return entries;
}

}  // namespace kio::test
