// Cost of one LTR append (one sealed line, one flush) as the log grows, of an
// append after another writer added a frame, of opening a store (which
// verifies the chain), of reading the whole chain and of putting a blob; and,
// as the floor to compare them with, of a bare append of a line and its flush.
//
// The same binary fills the log of an existing install for the end-to-end
// benchmark (scripts/bench-history):
//   persist_bench --fill-history PERSIST_ROOT KEYS_FILE FRAMES
// writes FRAMES blob records straight into segment lines of today's date, as
// the store would have spread them over 1 MiB segments.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
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

CalendarDate day_before(CalendarDate d) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (--d.day == 0) {
    if (--d.month == 0) {
      d.month = 12;
      --d.year;
    }
    const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
    d.day = static_cast<std::uint8_t>(d.month == 2 && leap ? 29 : days[d.month - 1]);
  }
  return d;
}

// Writes `frames` sealed blob records into an empty log, in segments that
// roll over at the size limit as the store's own appends would. With
// `per_day`, every `per_day` frames start a segment of the next day, the last
// of them dated `day`.
void fill_log(const fs::path& persist, const kio::SecretKey& key, const std::string& founder, std::size_t frames,
              CalendarDate day, std::size_t per_day = 0) {
  const fs::path current = persist / "ltr" / "current";
  fs::create_directories(current);
  std::vector<CalendarDate> days{day};
  if (per_day != 0) {
    for (std::size_t n = per_day; n < frames; n += per_day) days.push_back(day_before(days.back()));
  }
  std::string previous(LTR_GENESIS_DIGEST);
  std::uint32_t counter = 1;
  std::ofstream out;
  std::size_t written = 0;
  for (std::size_t i = 1; i <= frames; ++i) {
    if (per_day != 0 && (i - 1) % per_day == 0) {
      day = days[days.size() - 1 - (i - 1) / per_day];
      out.close();
      counter = 1;
    }
    if (!out.is_open() || written >= LTR_SEGMENT_LIMIT) {
      out.close();
      out.open(current / ltr_jsonl_file_name(day, counter++), std::ios::binary);
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
  if (!out) std::abort();
}

// A store whose log holds `frames` blob records.
struct BenchStore {
  explicit BenchStore(std::size_t frames, std::size_t per_day = 0) {
    char tmpl[] = "/tmp/kio-persist-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) std::abort();
    dir = tmpl;
    persist = dir / "persist";
    fs::create_directories(persist);
    if (!write_identity(persist, key, InstallIdentity{"ada", founder})) std::abort();
    fill_log(persist, key, founder, frames, DAY, per_day);
    store = open();
  }
  ~BenchStore() {
    store.reset();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  std::unique_ptr<Persist> open() const {
    auto opened = Persist::open(persist, key);
    if (!opened) std::abort();
    auto handle = std::make_unique<Persist>(std::move(*opened));
    handle->set_local_date_source([] { return DAY; });
    return handle;
  }

  fs::path dir, persist;
  std::string founder = "01939a3c-5f2e-7b44-9c1d-2a6e8f0b4c71";
  kio::SecretKey key = bench_key();
  std::unique_ptr<Persist> store;
};

// Each append lengthens the log by one frame; 30 of them leave the history
// (at least 100 frames) essentially as it was.
void BM_AppendLtrPayload(benchmark::State& state) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  BenchStore s(frames);
  std::size_t next = frames;
  for (auto _ : state) {
    const auto sequence = s.store->append_ltr_payload(record(++next));
    if (!sequence) state.SkipWithError(sequence.error().c_str());
  }
}
BENCHMARK(BM_AppendLtrPayload)->Arg(100)->Arg(10000)->Arg(100000)->Iterations(30)->Unit(benchmark::kMillisecond);

// The same over years of daily segments: 100,000 frames in 2,000 segments of
// 50 frames, the walk before each append has that many files to look at.
void BM_AppendManySegments(benchmark::State& state) {
  const auto segments = static_cast<std::size_t>(state.range(0));
  BenchStore s(segments * 50, 50);
  std::size_t next = segments * 50;
  for (auto _ : state) {
    const auto sequence = s.store->append_ltr_payload(record(++next));
    if (!sequence) state.SkipWithError(sequence.error().c_str());
  }
}
BENCHMARK(BM_AppendManySegments)->Arg(2)->Arg(2000)->Iterations(30)->Unit(benchmark::kMillisecond);

// Another handle on the same store (a second writer) appends one frame before
// each timed append, which must then take that frame into account.
void BM_AppendAfterOtherWriter(benchmark::State& state) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  BenchStore s(frames);
  auto other = s.open();
  std::size_t next = frames;
  for (auto _ : state) {
    state.PauseTiming();
    if (!other->append_ltr_payload(record(++next))) state.SkipWithError("other writer");
    state.ResumeTiming();
    const auto sequence = s.store->append_ltr_payload(record(++next));
    if (!sequence) state.SkipWithError(sequence.error().c_str());
  }
}
BENCHMARK(BM_AppendAfterOtherWriter)->Arg(100)->Arg(100000)->Iterations(20)->Unit(benchmark::kMillisecond);

// A full verified read of the chain, for scale.
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

// The floor: one line of a frame's size appended to a file and flushed to the
// device, with nothing sealed, chained or checked.
void BM_BareAppendFlush(benchmark::State& state) {
  char tmpl[] = "/tmp/kio-persist-bench-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) std::abort();
  const fs::path file = fs::path(tmpl) / "floor.jsonl";
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  const std::string line(400, 'x');
  for (auto _ : state) {
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fsync(fd) != 0) {
      state.SkipWithError("write");
    }
  }
  ::close(fd);
  std::error_code ec;
  fs::remove_all(tmpl, ec);
}
BENCHMARK(BM_BareAppendFlush)->Iterations(30)->Unit(benchmark::kMillisecond);

// Opening the store: the identity, the layout and a verified walk of the chain.
void BM_Open(benchmark::State& state) {
  BenchStore s(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto opened = s.open();
    benchmark::DoNotOptimize(opened);
  }
}
BENCHMARK(BM_Open)->Arg(10000)->Unit(benchmark::kMillisecond);

// Putting a small sealed blob: its pending file, the record appended, the rename.
void BM_PutBlob(benchmark::State& state) {
  BenchStore s(static_cast<std::size_t>(state.range(0)));
  const std::vector<std::uint8_t> bytes(4096, 0x5a);
  std::size_t next = 0;
  for (auto _ : state) {
    char id[64];
    std::snprintf(id, sizeof id, "01939a3c-6000-7000-9000-%012zu", ++next);
    const auto put = s.store->put_blob_with_id(id, bytes, false, true);
    if (!put) state.SkipWithError(put.error().c_str());
  }
}
BENCHMARK(BM_PutBlob)->Arg(1000)->Iterations(30)->Unit(benchmark::kMillisecond);

// --fill-history PERSIST_ROOT KEYS_FILE FRAMES: the wrap key is the second line
// of the keys file the connector reads.
int fill_history(const char* persist_arg, const char* keys_arg, const char* frames_arg) {
  std::ifstream keys(keys_arg);
  std::string line;
  std::getline(keys, line);
  std::getline(keys, line);
  std::uint8_t bytes[32];
  if (line.size() < 64) {
    std::fprintf(stderr, "persist_bench: %s has no wrap key line\n", keys_arg);
    return 2;
  }
  for (std::size_t i = 0; i < 32; ++i) {
    const int hi = kio::hex_digit_value(line[2 * i]), lo = kio::hex_digit_value(line[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      std::fprintf(stderr, "persist_bench: the wrap key is not hex\n");
      return 2;
    }
    bytes[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  const kio::SecretKey key{std::span<const std::uint8_t, 32>(bytes, 32)};
  const fs::path persist = persist_arg;
  auto identity = read_identity(persist, key);
  if (!identity) {
    std::fprintf(stderr, "persist_bench: %s\n", identity.error().c_str());
    return 1;
  }
  fill_log(persist, key, identity->founder_id, std::strtoull(frames_arg, nullptr, 10), local_today());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--fill-history") == 0) return fill_history(argv[2], argv[3], argv[4]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
