// Cost of one LTR append (a full chain read, one sealed line, one flush) and of
// listing the blobs (opening every event) as the log grows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "install/crypto.h"
#include "install/persist/persist.h"

namespace fs = std::filesystem;
using namespace kio::install;

namespace {

constexpr CalendarDate DAY{2026, 1, 5};

kio::SecretKey bench_key() {
  std::uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<std::uint8_t>(0x40 + i);
  return kio::SecretKey(std::span<const std::uint8_t, 32>(bytes, 32));
}

BlobRecord record(std::size_t n) {
  char id[64];
  std::snprintf(id, sizeof id, "01939a3c-6000-7000-8000-%012zu", n);
  return BlobRecord{"persist-blob", id, "bytes", std::string("file:///home/ada/install/blobs/") + id, false,
                    sha256_hex(std::string_view(id))};
}

// A store whose log holds `frames` blob records, written directly into 1 MiB
// segments as the store itself would have spread them.
struct BenchStore {
  explicit BenchStore(std::size_t frames) {
    char tmpl[] = "/tmp/kio-persist-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    const fs::path persist = dir / "persist";
    fs::create_directories(persist / "ltr" / "current");
    const std::string founder = "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71";
    if (!write_identity(persist, key, InstallIdentity{"ada", founder})) std::abort();

    std::string previous(LTR_GENESIS_DIGEST);
    std::uint32_t counter = 1;
    std::ofstream out;
    std::size_t written = 0;
    for (std::size_t i = 1; i <= frames; ++i) {
      if (!out.is_open() || written >= LTR_SEGMENT_LIMIT) {
        out.close();
        out.open(persist / "ltr" / "current" / ltr_jsonl_file_name(DAY, counter++), std::ios::binary);
        written = 0;
      }
      const auto payload = serialize_ltr_payload(record(i)).value();
      const auto sealed = encrypt(key, ltr_aad(founder, LTR_STREAM_LABEL, i, previous), payload).value();
      const LtrFrame frame{std::string(LTR_FRAME_SCHEMA), 1, i, previous, sealed.nonce_b64, sealed.ciphertext_b64};
      const std::string line = serialize_ltr_frame(frame).value();
      out << line << '\n';
      written += line.size() + 1;
      previous = sha256_hex(line);
    }
    out.close();
    auto opened = Persist::open(persist, key);
    if (!opened) std::abort();
    store = std::make_unique<Persist>(std::move(*opened));
    store->set_local_date_source([] { return DAY; });
  }
  ~BenchStore() {
    store.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  // Puts the segment that the last append wrote back as it was before it.
  void restore(const fs::path& segment, bool existed, std::uintmax_t size) {
    if (existed) {
      fs::resize_file(segment, size);
    } else {
      fs::remove(segment);
    }
  }

  fs::path dir;
  kio::SecretKey key = bench_key();
  std::unique_ptr<Persist> store;
};

void BM_AppendLtrPayload(benchmark::State& state) {
  BenchStore s(static_cast<std::size_t>(state.range(0)));
  const BlobRecord next = record(static_cast<std::size_t>(state.range(0)) + 1);
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path segment = s.store->today_segment_path().value();
    const bool existed = fs::exists(segment);
    const std::uintmax_t size = existed ? fs::file_size(segment) : 0;
    state.ResumeTiming();
    const auto sequence = s.store->append_ltr_payload(next);
    if (!sequence) state.SkipWithError(sequence.error().c_str());
    state.PauseTiming();
    s.restore(segment, existed, size);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_AppendLtrPayload)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// The same chain read without the sealing and the flush, to show their share.
void BM_ReadFrames(benchmark::State& state) {
  BenchStore s(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto frames = s.store->read_frames();
    if (!frames) state.SkipWithError(frames.error().c_str());
    benchmark::DoNotOptimize(frames);
  }
}
BENCHMARK(BM_ReadFrames)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_BlobRecords(benchmark::State& state) {
  BenchStore s(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto records = s.store->blob_records();
    if (!records || records->size() != static_cast<std::size_t>(state.range(0))) state.SkipWithError("blob_records");
    benchmark::DoNotOptimize(records);
  }
}
BENCHMARK(BM_BlobRecords)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
