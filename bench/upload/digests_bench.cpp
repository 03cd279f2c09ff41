// The file hash against `openssl dgst -sha1` on the same 512 MiB file, and the range checksum
// against a byte-at-a-time table loop reading the file the same way.

#include <zlib.h>

#include <cstdio>
#include <string>

#include "bench/upload/bench_support.h"
#include "platform/file.h"
#include "upload/digests.h"

namespace {

using plumet_bench::kFileSize;

struct Files {
  plumet_test::ScratchDir dir{"plumet-bench"};
  std::string big;
  bool ok = false;
  Files() : big(dir.File("big")) {
    ok = dir.ok() && plumet_bench::WriteRandomFile(big, kFileSize, 5);
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

void BM_HashFileSha1(benchmark::State& state) {
  const Files& f = TheFiles();
  for (auto _ : state) {
    const std::string hash = plumet::HashFileSha1(f.big);
    if (hash.size() != 40) state.SkipWithError("hash failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Reference_OpensslDgstSha1(benchmark::State& state) {
  const Files& f = TheFiles();
  for (auto _ : state) {
    if (!plumet_bench::RunChild({"openssl", "dgst", "-sha1", f.big})) {
      state.SkipWithError("openssl failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_Crc32Range(benchmark::State& state) {
  const Files& f = TheFiles();
  platform::File file;
  file.Open(f.big, platform::File::Mode::kRead);
  for (auto _ : state) benchmark::DoNotOptimize(plumet::Crc32Range(file, 0, kFileSize - 1));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Reference, for this benchmark only: the textbook byte-at-a-time table CRC over the same
// 4096-byte reads. Its result is checked against zlib so that the comparison is like for like.
struct ByteTable {
  uint32_t entry[256];
  ByteTable() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[n] = c;
    }
  }
};

void BM_Reference_ByteAtATimeTableCrc(benchmark::State& state) {
  const Files& f = TheFiles();
  static const ByteTable table;
  platform::File file;
  file.Open(f.big, platform::File::Mode::kRead);
  uint32_t result = 0;
  for (auto _ : state) {
    file.Seek(0);
    uint32_t c = 0xFFFFFFFFu;
    unsigned char buffer[4096];
    for (;;) {
      const int64_t n = file.Read(buffer, sizeof buffer);
      if (n <= 0) break;
      for (int64_t i = 0; i < n; ++i) c = table.entry[(c ^ buffer[i]) & 0xFF] ^ (c >> 8);
    }
    result = ~c;
    benchmark::DoNotOptimize(result);
  }
  if (result != plumet::Crc32Range(file, 0, kFileSize - 1)) state.SkipWithError("CRC mismatch");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_HashFileSha1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_Reference_OpensslDgstSha1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_Crc32Range)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_Reference_ByteAtATimeTableCrc)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  plumet_bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("HashFileSha1 / openssl dgst -sha1", "BM_HashFileSha1",
                      "BM_Reference_OpensslDgstSha1", 0.8);
  reporter.PrintRatio("Crc32Range / byte-at-a-time table", "BM_Crc32Range",
                      "BM_Reference_ByteAtATimeTableCrc", 5.0);
  benchmark::Shutdown();
  return 0;
}
