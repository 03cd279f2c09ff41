// MD5 of 4 KiB blocks in memory on one core: OpenSSL one block at a time (the project's
// Md5Hasher, as the block digests are computed without lanes), against each path of Md5Many.

#include <cstdint>
#include <random>
#include <vector>

#include "bench/upload/bench_support.h"
#include "common/md5_lanes.h"
#include "upload/digests.h"

namespace {

using plumet_common::Md5Path;

constexpr size_t kBlock = 4096;
constexpr size_t kBlocks = 8192;  // 32 MiB: past the caches, as a file's blocks are

struct Blocks {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kBlock * kBlocks);
  std::vector<const unsigned char*> data;
  std::vector<size_t> lengths = std::vector<size_t>(kBlocks, kBlock);
  std::vector<plumet::Md5> reference;
  Blocks() {
    std::mt19937_64 rng(11);
    plumet_bench::FillRandom(bytes, rng);
    plumet::Md5Hasher md5;
    for (size_t i = 0; i < kBlocks; ++i) {
      data.push_back(bytes.data() + i * kBlock);
      reference.push_back(md5.Digest(data.back(), kBlock));
    }
  }
};

const Blocks& TheBlocks() {
  static const Blocks blocks;
  return blocks;
}

void Finish(benchmark::State& state, double cpu) {
  state.counters["cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock * kBlocks));
}

void BM_Reference_OpensslOneByOne(benchmark::State& state) {
  const Blocks& b = TheBlocks();
  plumet::Md5Hasher md5;
  double cpu = 0;
  for (auto _ : state) {
    const double cpu0 = plumet_bench::ProcessCpuSeconds();
    for (const unsigned char* block : b.data) benchmark::DoNotOptimize(md5.Digest(block, kBlock));
    cpu += plumet_bench::ProcessCpuSeconds() - cpu0;
  }
  Finish(state, cpu);
}

void RunLanes(benchmark::State& state, Md5Path path) {
  const Blocks& b = TheBlocks();
  if (!plumet_common::Md5PathAvailable(path)) {
    state.SkipWithError("this processor lacks the unit");
    return;
  }
  std::vector<plumet_common::Md5Bytes> out(kBlocks);
  double cpu = 0;
  for (auto _ : state) {
    const double cpu0 = plumet_bench::ProcessCpuSeconds();
    const bool ok =
        plumet_common::Md5Many(b.data.data(), b.lengths.data(), kBlocks, out.data(), path);
    benchmark::DoNotOptimize(out.data());
    cpu += plumet_bench::ProcessCpuSeconds() - cpu0;
    if (!ok) state.SkipWithError("MD5 failed");
  }
  if (out != b.reference) state.SkipWithError("digests differ from OpenSSL's");
  Finish(state, cpu);
}

void BM_Md5ManyAvx2(benchmark::State& state) { RunLanes(state, Md5Path::kAvx2); }
void BM_Md5ManyAvx512(benchmark::State& state) { RunLanes(state, Md5Path::kAvx512); }

BENCHMARK(BM_Reference_OpensslOneByOne)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5);
BENCHMARK(BM_Md5ManyAvx2)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_Md5ManyAvx512)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  plumet_bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("Md5Many AVX2 / OpenSSL one by one", "BM_Md5ManyAvx2",
                      "BM_Reference_OpensslOneByOne", 2.5);
  reporter.PrintRatio("Md5Many AVX-512 / OpenSSL one by one", "BM_Md5ManyAvx512",
                      "BM_Reference_OpensslOneByOne", 4.0);
  benchmark::Shutdown();
  return 0;
}
