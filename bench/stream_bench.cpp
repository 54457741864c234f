// Bootstrap stream reception: throughput from chunk messages to a completed,
// verified, spooled stream (in the system's temporary directory), and the
// receiver's peak memory for a 64 MiB stream.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "install/crypto.h"
#include "install/record_digests.h"
#include "install/stream_format.h"
#include "install/stream_receiver.h"
#include "peer/stream_plan.h"

namespace {

constexpr std::size_t kStreamSize = std::size_t{64} << 20;

std::vector<std::uint8_t> make_stream(std::size_t size) {
  std::vector<std::uint8_t> out(size);
  std::uint64_t x = 0x9E3779B97F4A7C15u;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<std::uint8_t>(x);
  }
  return out;
}

const kio::peer::StreamDescription kDescription = {"01a0b0d4-97d6-7083-bd74-ab53fb6f92a0",
                                                   "01a0b0d4-97dc-74a1-8e12-6c5f90b4d2e8", "bytes", {}};

// Messages are encoded beforehand; the timed part is FileStreamReceiver::push
// for every message, including reassembly, spool writes, size and digest checks
// and the digests of the announced files.
void BM_Reassemble64MiB(benchmark::State& state) {
  const auto stream = make_stream(kStreamSize);
  const auto messages = kio::peer::plan_stream(kDescription, stream, static_cast<std::size_t>(state.range(0))).value();
  for (auto _ : state) {
    kio::install::FileStreamReceiver receiver;
    bool completed = false;
    for (const auto& m : messages) {
      auto got = receiver.push(m.channel, m.bytes);
      if (!got) {
        state.SkipWithError(got.error().display().c_str());
        return;
      }
      if (*got) {
        completed = (*got)->spool.size() == kStreamSize;
      }
    }
    if (!completed) state.SkipWithError("stream did not complete");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamSize));
  state.counters["messages"] = static_cast<double>(messages.size());
}
BENCHMARK(BM_Reassemble64MiB)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond)->MinTime(3);

// The digest check alone, for comparison with the reassembly figure.
void BM_Sha256_64MiB(benchmark::State& state) {
  const auto stream = make_stream(kStreamSize);
  for (auto _ : state) benchmark::DoNotOptimize(kio::install::sha256_hex(stream));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamSize));
}
BENCHMARK(BM_Sha256_64MiB)->Unit(benchmark::kMillisecond);

// The listed files' digests read from 64 MiB of packed files of range(0) bytes
// each, every one listed, fed in pieces of a chunk's payload (1338 bytes): the
// digests themselves and the reading of the records, against BM_Sha256_64MiB.
void BM_RecordDigests64MiB(benchmark::State& state) {
  const std::size_t file_size = static_cast<std::size_t>(state.range(0));
  const auto content = make_stream(kStreamSize);
  std::vector<kio::install::NamedFile> files;
  std::vector<kio::install::FileStreamEntry> listed;
  for (std::size_t at = 0; at < kStreamSize; at += file_size) {
    const std::string name = "file-" + std::to_string(files.size());
    files.emplace_back(name, kio::Bytes(content.begin() + static_cast<std::ptrdiff_t>(at),
                                        content.begin() + static_cast<std::ptrdiff_t>(at + file_size)));
    listed.push_back({name, file_size, ""});
  }
  const kio::Bytes stream = kio::install::pack_files(files);
  constexpr std::size_t kPiece = 1338;
  for (auto _ : state) {
    kio::install::RecordDigests digests(listed);
    for (std::size_t at = 0; at < stream.size(); at += kPiece) {
      digests.update(std::span<const std::uint8_t>(stream).subspan(at, std::min(kPiece, stream.size() - at)));
    }
    if (digests.digests().size() != listed.size()) state.SkipWithError("a digest is missing");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_RecordDigests64MiB)->Arg(4 << 10)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

long max_rss_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// In a fresh process: the sender's 64 MiB are made first, then every message is
// encoded just before it is pushed, so the growth of the peak resident size is
// what the receiver holds (partial frames; completed frames go to the spool).
void BM_PeakMemory64MiB(benchmark::State& state) {
  for (auto _ : state) {
    int fds[2];
    if (::pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      const auto stream = make_stream(kStreamSize);
      auto plan = kio::peer::StreamPlan::create(kDescription, stream).value();
      const long before = max_rss_kib();
      long result[2] = {before, -1};
      {
        kio::install::FileStreamReceiver receiver;
        while (auto m = plan.next()) {
          auto got = receiver.push(m->channel, m->bytes);
          if (got && *got && (*got)->spool.size() == kStreamSize) result[1] = max_rss_kib();
        }
      }
      if (::write(fds[1], result, sizeof result) != sizeof result) std::_Exit(2);
      std::_Exit(0);
    }
    ::close(fds[1]);
    long result[2] = {0, -1};
    const bool read_ok = ::read(fds[0], result, sizeof result) == sizeof result;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!read_ok || result[1] < 0) {
      state.SkipWithError("child did not complete the stream");
      return;
    }
    state.counters["peak_before_MiB"] = static_cast<double>(result[0]) / 1024.0;
    state.counters["peak_after_MiB"] = static_cast<double>(result[1]) / 1024.0;
    state.counters["receiver_peak_MiB"] = static_cast<double>(result[1] - result[0]) / 1024.0;
  }
}
BENCHMARK(BM_PeakMemory64MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
