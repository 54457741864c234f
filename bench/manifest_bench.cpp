// Cost of one admission's manifest entry (ManifestWriter::record) as the manifest
// grows. The file is written whole every time; what it costs besides is
// reading and parsing it again.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/file_io.h"
#include "connector/manifest.h"
#include "install/json.h"
#include "install/paths.h"

namespace fs = std::filesystem;
using kio::install::json::Json;

namespace {

Json admission(std::size_t n) {
  Json entry = Json::object();
  entry["schema"] = "kio.bootstrap.feature-admit.v1";
  entry["feature"] = "maps-" + std::to_string(n);
  entry["tiles"] = "vector";
  entry["zoom"] = Json::array({0, 14});
  return entry;
}

// An install root whose manifest holds `entries` admissions, as the connector writes it.
struct BenchRoot {
  explicit BenchRoot(std::size_t entries) {
    char tmpl[] = "/tmp/kio-manifest-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    Json manifest = Json::object();
    manifest["schema"] = kio::connector::FEATURES_MANIFEST_SCHEMA;
    manifest["features"] = Json::array();
    for (std::size_t i = 0; i < entries; ++i) manifest["features"].push_back(admission(i));
    const auto text = kio::install::json::write_value(manifest, kio::install::json::Layout::indented).value();
    if (!kio::write_file(kio::install::features_manifest_path(dir), text)) std::abort();
  }
  ~BenchRoot() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path dir;
};

// The first entry after start-up reads the file once; the 50 timed ones follow it.
void BM_RecordInventory(benchmark::State& state) {
  const auto entries = static_cast<std::size_t>(state.range(0));
  BenchRoot root(entries);
  std::size_t next = entries;
  kio::connector::ManifestWriter manifest(root.dir);
  if (!manifest.record(admission(next++))) state.SkipWithError("first entry");
  for (auto _ : state) {
    const auto recorded = manifest.record(admission(next++));
    if (!recorded) state.SkipWithError(recorded.error().c_str());
  }
}
BENCHMARK(BM_RecordInventory)->Arg(100)->Arg(10000)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace
