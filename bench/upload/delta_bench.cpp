// The delta scan against `rdiff delta` on the same 512 MiB files at the same 4 KiB block size,
// and the rolling checksum alone against a rolling step that divides on every byte.
// Reference measurements run in the same process run, interleaved with ours.

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/upload/bench_support.h"
#include "platform/file.h"
#include "upload/block_delta.h"
#include "upload/digests.h"
#include "upload/rolling_adler.h"

namespace {

using plumet_bench::kFileSize;

constexpr uint32_t kBlock = 4096;

// A stored copy, its rdiff signature and its checksum list as the upload server sends it.
struct StoredCopy {
  std::string path, rdiffSignature, checksums;
};

struct Files {
  plumet_test::ScratchDir dir{"plumet-bench"};
  // 512 MiB: 131072 blocks, of which a match can name only the first 65536 (16-bit index).
  StoredCopy big;
  std::string edited, different;
  // 256 MiB: 65536 blocks, every one of them nameable.
  StoredCopy half;
  std::string halfEdited;
  bool ok = false;

  Files() {
    big.path = dir.File("stored");
    half.path = dir.File("stored-half");
    edited = dir.File("edited");
    different = dir.File("different");
    halfEdited = dir.File("edited-half");
    ok = dir.ok() && plumet_bench::WriteRandomFile(big.path, kFileSize, 1) &&
         plumet_bench::WriteEditedCopy(big.path, edited, 1, 2) &&
         plumet_bench::WriteRandomFile(different, kFileSize, 3) &&
         plumet_bench::WriteRandomFile(half.path, kFileSize / 2, 4) &&
         plumet_bench::WriteEditedCopy(half.path, halfEdited, 1, 5) && Prepare(big) &&
         Prepare(half);
  }

  bool Prepare(StoredCopy& copy) {
    copy.rdiffSignature = copy.path + ".sig";
    if (!plumet_bench::RunChild(
            {"rdiff", "signature", "-b", std::to_string(kBlock), copy.path, copy.rdiffSignature})) {
      return false;
    }
    platform::File in;
    if (!in.Open(copy.path, platform::File::Mode::kRead)) return false;
    std::string weak, strong;
    std::vector<unsigned char> block(kBlock);
    for (;;) {
      const int64_t n = in.Read(block.data(), block.size());
      if (n <= 0) break;
      const uint32_t w = static_cast<uint32_t>(adler32(1L, block.data(), static_cast<uInt>(n)));
      for (int i = 0; i < 4; ++i) weak += static_cast<char>(w >> (8 * i));
      strong +=
          std::string(plumet::DigestBytes(plumet::Md5Digest(block.data(), static_cast<size_t>(n))));
    }
    copy.checksums = weak + strong;
    return true;
  }
};

Files& TheFiles() {
  static Files files;
  return files;
}

void RunComputeDelta(benchmark::State& state, const StoredCopy& stored,
                     const std::string& localPath, uint64_t size,
                     plumet::RollPath roll = plumet::ChosenRollPath(), bool split = true) {
  Files& f = TheFiles();
  if (!f.ok) {
    state.SkipWithError("could not prepare the files");
    return;
  }
  if (!plumet::RollPathSupported(roll)) {
    state.SkipWithError("this processor lacks the unit");
    return;
  }
  plumet::CBlockDelta delta;
  delta.LoadChecksums(stored.checksums.data(), static_cast<int32_t>(stored.checksums.size()));
  delta.SetRollPath(roll);
  if (!split) delta.SetSplitScanMinSize(UINT64_MAX);
  delta.SetBlockSize(kBlock);
  platform::File local, literal;
  local.Open(localPath, platform::File::Mode::kRead);
  size_t matches = 0;
  const std::string literalPath = f.dir.File("literal.tmp");
  double cpu = 0;
  for (auto _ : state) {
    // As in an upload, the literal file is new; the previous run's file is deleted untimed.
    state.PauseTiming();
    std::remove(literalPath.c_str());
    state.ResumeTiming();
    // The whole process: a big file is scanned in pieces, one per processor.
    const double cpu0 = plumet_bench::ProcessCpuSeconds();
    literal.Open(literalPath, platform::File::Mode::kCreate);
    const auto outcome = delta.ComputeDelta(local, literal);
    benchmark::DoNotOptimize(outcome);
    matches = delta.matches().size();
    literal.Close();
    cpu += plumet_bench::ProcessCpuSeconds() - cpu0;
  }
  state.counters["matches"] = static_cast<double>(matches);
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void RunRdiff(benchmark::State& state, const StoredCopy& stored, const std::string& localPath,
              uint64_t size) {
  Files& f = TheFiles();
  if (!f.ok) {
    state.SkipWithError("could not prepare the files");
    return;
  }
  const double cpu0 = plumet_bench::ChildrenCpuSeconds();
  for (auto _ : state) {
    if (!plumet_bench::RunChild({"rdiff", "-f", "delta", stored.rdiffSignature, localPath,
                                 f.dir.File("rdiff.delta")})) {
      state.SkipWithError("rdiff delta failed");
      return;
    }
  }
  state.counters["cpu_s"] =
      (plumet_bench::ChildrenCpuSeconds() - cpu0) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_ComputeDelta_OnePercent(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().big, TheFiles().edited, kFileSize);
}
void BM_ComputeDelta_OnePercent_Scalar(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().big, TheFiles().edited, kFileSize, plumet::RollPath::kScalar);
}
// One core, half of the file rolled byte by byte: with each vector loop the processor has.
void BM_ComputeDelta_OnePercent_OneThread_Avx512(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().big, TheFiles().edited, kFileSize, plumet::RollPath::kAvx512,
                  false);
}
void BM_ComputeDelta_OnePercent_OneThread_Avx2(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().big, TheFiles().edited, kFileSize, plumet::RollPath::kAvx2,
                  false);
}
void BM_Reference_RdiffDelta_OnePercent(benchmark::State& state) {
  RunRdiff(state, TheFiles().big, TheFiles().edited, kFileSize);
}
void BM_ComputeDelta_AllDifferent(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().big, TheFiles().different, kFileSize);
}
void BM_Reference_RdiffDelta_AllDifferent(benchmark::State& state) {
  RunRdiff(state, TheFiles().big, TheFiles().different, kFileSize);
}
void BM_ComputeDelta_OnePercent_256MiB(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().half, TheFiles().halfEdited, kFileSize / 2);
}
// One core, as rdiff uses: with the AVX-512 rolling loop, and with the AVX2 one (most processors).
void BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx512(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().half, TheFiles().halfEdited, kFileSize / 2,
                  plumet::RollPath::kAvx512, false);
}
void BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx2(benchmark::State& state) {
  RunComputeDelta(state, TheFiles().half, TheFiles().halfEdited, kFileSize / 2,
                  plumet::RollPath::kAvx2, false);
}
void BM_Reference_RdiffDelta_OnePercent_256MiB(benchmark::State& state) {
  RunRdiff(state, TheFiles().half, TheFiles().halfEdited, kFileSize / 2);
}

constexpr size_t kRollBuffer = 64u << 20;

const std::vector<unsigned char>& RollData() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kRollBuffer);
    std::mt19937_64 rng(9);
    plumet_bench::FillRandom(d, rng);
    return d;
  }();
  return data;
}

// The rolling step as the scan does it, with no lookups: the ceiling of the scan.
void BM_RollingOnly(benchmark::State& state) {
  const auto& d = RollData();
  for (auto _ : state) {
    plumet::RollingAdler rolling(kBlock);
    rolling.Reset(static_cast<uint32_t>(adler32(1L, d.data(), kBlock)));
    uint32_t mix = 0;
    for (size_t p = 1; p + kBlock <= d.size(); ++p) {
      rolling.Roll(d[p - 1], d[p + kBlock - 1]);
      mix ^= rolling.value();
    }
    benchmark::DoNotOptimize(mix);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRollBuffer));
}

// Reference (benchmark only): the same step reducing with % on every byte.
void BM_Reference_RollingModulo(benchmark::State& state) {
  const auto& d = RollData();
  for (auto _ : state) {
    const uint32_t full = static_cast<uint32_t>(adler32(1L, d.data(), kBlock));
    uint32_t a = full & 0xFFFF, b = full >> 16, mix = 0;
    for (size_t p = 1; p + kBlock <= d.size(); ++p) {
      const uint32_t out = d[p - 1], in = d[p + kBlock - 1];
      a = (a + in - out + 65521) % 65521;
      b = (b + 65521 - (kBlock * out) % 65521 + a + 65520) % 65521;
      mix ^= b << 16 | a;
    }
    benchmark::DoNotOptimize(mix);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRollBuffer));
}

BENCHMARK(BM_ComputeDelta_OnePercent)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_Reference_RdiffDelta_OnePercent)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_ComputeDelta_OnePercent_OneThread_Avx512)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_ComputeDelta_OnePercent_OneThread_Avx2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_ComputeDelta_OnePercent_Scalar)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_ComputeDelta_OnePercent_256MiB)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx512)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_Reference_RdiffDelta_OnePercent_256MiB)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(5);
BENCHMARK(BM_ComputeDelta_AllDifferent)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_Reference_RdiffDelta_AllDifferent)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(BM_RollingOnly)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->Repetitions(5);
BENCHMARK(BM_Reference_RollingModulo)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  plumet_bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("ComputeDelta / rdiff delta (1% changed)", "BM_ComputeDelta_OnePercent",
                      "BM_Reference_RdiffDelta_OnePercent", 1.5);
  reporter.PrintRatio("one-thread AVX-512 ComputeDelta / rdiff delta (1% changed)",
                      "BM_ComputeDelta_OnePercent_OneThread_Avx512",
                      "BM_Reference_RdiffDelta_OnePercent", 1.5);
  reporter.PrintRatio("one-thread AVX2 ComputeDelta / rdiff delta (1% changed)",
                      "BM_ComputeDelta_OnePercent_OneThread_Avx2",
                      "BM_Reference_RdiffDelta_OnePercent", 1.5);
  reporter.PrintRatio("scalar ComputeDelta / rdiff delta (1% changed)",
                      "BM_ComputeDelta_OnePercent_Scalar", "BM_Reference_RdiffDelta_OnePercent", 0);
  reporter.PrintRatio("ComputeDelta / rdiff delta (256 MiB, 1% changed)",
                      "BM_ComputeDelta_OnePercent_256MiB",
                      "BM_Reference_RdiffDelta_OnePercent_256MiB", 1.5);
  reporter.PrintRatio("one-thread AVX-512 ComputeDelta / rdiff delta (256 MiB, 1% changed)",
                      "BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx512",
                      "BM_Reference_RdiffDelta_OnePercent_256MiB", 1.5);
  reporter.PrintRatio("one-thread AVX2 ComputeDelta / rdiff delta (256 MiB, 1% changed)",
                      "BM_ComputeDelta_OnePercent_256MiB_OneThread_Avx2",
                      "BM_Reference_RdiffDelta_OnePercent_256MiB", 1.5);
  reporter.PrintRatio("ComputeDelta / rdiff delta (all different)", "BM_ComputeDelta_AllDifferent",
                      "BM_Reference_RdiffDelta_AllDifferent", 0);
  reporter.PrintRatio("rolling step / rolling with % per byte", "BM_RollingOnly",
                      "BM_Reference_RollingModulo", 0);
  benchmark::Shutdown();
  return 0;
}
