// SHA-256 throughput of the digest texts: in memory and streamed from a file.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "install/crypto.h"

namespace {

std::vector<std::uint8_t> payload(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return v;
}

void BM_sha256_hex(benchmark::State& state) {
  const auto data = payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(kio::install::sha256_hex(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_sha256_hex)->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20);

// libsodium's portable SHA-256, for comparison with the one in use.
void BM_sha256_libsodium(benchmark::State& state) {
  const auto data = payload(static_cast<std::size_t>(state.range(0)));
  unsigned char out[crypto_hash_sha256_BYTES];
  for (auto _ : state) {
    crypto_hash_sha256(out, data.data(), data.size());
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_sha256_libsodium)->Arg(1 << 20)->Arg(64 << 20);

void BM_sha256_file(benchmark::State& state) {
  const auto path = std::filesystem::temp_directory_path() / "kio-bench-sha256-file";
  const auto data = payload(static_cast<std::size_t>(state.range(0)));
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  for (auto _ : state) benchmark::DoNotOptimize(kio::install::sha256_file(path));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  std::filesystem::remove(path);
}
BENCHMARK(BM_sha256_file)->Arg(64 << 20);

}  // namespace
