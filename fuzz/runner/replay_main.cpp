// Replays every file of a corpus directory through the fuzz target, so that the
// normal sanitizer build checks the committed corpus on every test run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  std::error_code ec;
  size_t count = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1], ec)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  if (ec || count == 0) {
    std::fprintf(stderr, "no corpus read from %s\n", argv[1]);
    return 1;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
