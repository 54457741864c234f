#include "tests/support/stream_files.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "common/file_io.h"
#include "install/crypto.h"
#include "tests/support/test_support.h"

namespace kio::test {

namespace fs = std::filesystem;

std::vector<install::NamedFile> read_directory_files(const fs::path& dir) {
  auto listed = list_regular_files(dir);
  if (!listed) throw std::runtime_error("cannot list " + dir.string() + ": " + listed.error());
  std::vector<install::NamedFile> files;
  for (const auto& entry : *listed) files.emplace_back(entry.name, bytes_of(read_file(dir / entry.name)));
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

std::vector<std::uint8_t> control(const std::string& json) {
  std::vector<std::uint8_t> out(json.size() + 1);
  out[0] = 0xFB;
  std::copy(json.begin(), json.end(), out.begin() + 1);
  return out;
}

}  // namespace kio::test
