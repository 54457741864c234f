// The install's JSON reader and writer against the JSON library on the same
// document: a features manifest of many entries, as every admission reads and
// writes it, and an LTR event.
#include <benchmark/benchmark.h>

#include <set>
#include <string>
#include <vector>

#include "install/json.h"

using kio::install::json::Json;
namespace json = kio::install::json;

namespace {

std::string manifest_text(std::size_t entries) {
  Json manifest = Json::object();
  manifest["schema"] = "kio.install.features-manifest.v1";
  manifest["features"] = Json::array();
  for (std::size_t i = 0; i < entries; ++i) {
    Json entry = Json::object();
    entry["schema"] = "kio.bootstrap.feature-admit.v1";
    entry["feature"] = "feature-" + std::to_string(i);
    entry["feature_id"] = "01a0b0d4-97d6-7083-bd74-ab53fb6f92a0";
    entry["blob_id"] = "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8";
    entry["blob_sha256"] = std::string(64, 'a');
    entry["blob_class"] = "bytes";
    entry["version"] = "v00001";
    entry["listed_blobs"] = Json::array({"a", "b"});
    manifest["features"].push_back(entry);
  }
  return manifest.dump(2);
}

// The library's parser with duplicate names caught through its callback.
Json library_parse_refusing_duplicates(const std::string& text) {
  std::vector<std::set<std::string>> open;
  bool duplicate = false;
  auto callback = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) open.emplace_back();
    if (event == Json::parse_event_t::object_end && !open.empty()) open.pop_back();
    if (event == Json::parse_event_t::key && !open.empty()) duplicate |= !open.back().insert(parsed.get<std::string>()).second;
    return true;
  };
  Json value = Json::parse(text, callback);
  if (duplicate) std::abort();
  return value;
}

void BM_read_value_manifest(benchmark::State& state) {
  const std::string text = manifest_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(json::read_value(text, json::Duplicates::last_wins));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_read_value_manifest)->Arg(1000);

void BM_library_parse_manifest(benchmark::State& state) {
  const std::string text = manifest_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(Json::parse(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_library_parse_manifest)->Arg(1000);

void BM_library_parse_refusing_duplicates(benchmark::State& state) {
  const std::string text = manifest_text(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(library_parse_refusing_duplicates(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_library_parse_refusing_duplicates)->Arg(1000);

void BM_write_value_manifest(benchmark::State& state) {
  const Json value = Json::parse(manifest_text(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(json::write_value(value, json::Layout::indented));
}
BENCHMARK(BM_write_value_manifest)->Arg(1000);

void BM_library_dump_manifest(benchmark::State& state) {
  const Json value = Json::parse(manifest_text(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(value.dump(2));
}
BENCHMARK(BM_library_dump_manifest)->Arg(1000);

void BM_read_record_event(benchmark::State& state) {
  const std::string text =
      R"({"kind":"persist-blob","blob_id":"01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8","class":"bytes",)"
      R"("url":"file:///home/ada/install/blobs/01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8","encrypted":false,)"
      R"("sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"})";
  for (auto _ : state) benchmark::DoNotOptimize(json::read_record(text, json::Duplicates::last_wins));
}
BENCHMARK(BM_read_record_event);

}  // namespace
