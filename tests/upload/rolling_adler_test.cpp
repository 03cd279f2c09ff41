// The rolling weak checksum against zlib's Adler-32 of the same window, recomputed from scratch,
// for block sizes around and beyond the modulus and for extreme byte values.

#include "upload/rolling_adler.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/upload/test_files.h"
#include "upload/window_adler.h"

namespace {

uint32_t Adler(const unsigned char* p, size_t n) {
  return static_cast<uint32_t>(adler32(1L, p, static_cast<uInt>(n)));
}

// Rolls a window of B over `data` and compares every `every`-th position with zlib.
void RollAndCompare(const std::vector<unsigned char>& data, uint32_t B, size_t every) {
  plumet::RollingAdler rolling(B);
  rolling.Reset(Adler(data.data(), B));
  for (size_t p = 1; p + B <= data.size(); ++p) {
    rolling.Roll(data[p - 1], data[p + B - 1]);
    if (p % every == 0 || p + B == data.size()) {
      ASSERT_EQ(rolling.value(), Adler(&data[p], B)) << "B " << B << " at " << p;
    }
  }
}

TEST(RollingAdler, EqualsTheFullChecksumAtEveryWindow) {
  for (uint32_t B : {1u, 2u, 3u, 16u, 255u, 4096u, 5552u, 5553u}) {
    RollAndCompare(plumet_test::RandomBytes(B + 3000, B), B, 1);
  }
}

TEST(RollingAdler, BlocksAroundAndAboveTheModulus) {
  for (uint32_t B : {65520u, 65521u, 65522u, 70000u, 131042u, 200001u}) {
    RollAndCompare(plumet_test::RandomBytes(B + 2000, B), B, 97);
  }
}

TEST(RollingAdler, ExtremeBytesKeepBothHalvesInRange) {
  // All 0xFF then all 0x00: the largest increments and decrements the step can see.
  for (uint32_t B : {1u, 7u, 4096u, 65521u, 70000u}) {
    std::vector<unsigned char> data(B * 3 + 500, 0xFF);
    std::fill(data.begin() + B + 250, data.end(), 0x00);
    RollAndCompare(data, B, B < 5000 ? 1 : 997);
  }
}

TEST(RollingAdler, RandomWindowsAfterLongRuns) {
  std::mt19937_64 rng(5);
  const auto data = plumet_test::RandomBytes(1 << 20, 77);
  for (int i = 0; i < 20; ++i) {
    const uint32_t B = 1 + static_cast<uint32_t>(rng() % 100000);
    const size_t start = rng() % (data.size() - B - 1);
    plumet::RollingAdler rolling(B);
    rolling.Reset(Adler(&data[start], B));
    const size_t steps = std::min<size_t>(data.size() - start - B, 20000);
    for (size_t k = 1; k <= steps; ++k) {
      rolling.Roll(data[start + k - 1], data[start + k + B - 1]);
    }
    EXPECT_EQ(rolling.value(), Adler(&data[start + steps], B)) << "B " << B;
  }
}

}  // namespace

namespace {

TEST(RollingAdler, HalfReachingTheModulusExactlyWrapsToZero) {
  // Window at 1 sums to 65520, so its low half is 65521 before reduction: it must read 0.
  std::vector<unsigned char> data(1 + 256, 255);
  data[0] = 0;
  data.push_back(240);
  const uint32_t B = 257;
  plumet::RollingAdler rolling(B);
  rolling.Reset(Adler(data.data(), B));
  rolling.Roll(data[0], data[B]);
  EXPECT_EQ(rolling.value() & 0xFFFF, 0u);
  EXPECT_EQ(rolling.value(), Adler(&data[1], B));
}

TEST(RollingAdler, MillionsOfStepsAgainstExactSums) {
  // Exact integer sums reduced with % at every step: the plain formula, cheap enough to check
  // every step, so that each reduction boundary of both halves is met many times.
  const auto data = plumet_test::RandomBytes(4u << 20, 99);
  for (uint32_t B : {300u, 4096u, 65521u, 100000u}) {
    plumet::RollingAdler rolling(B);
    rolling.Reset(Adler(data.data(), B));
    int64_t a = 1, b = 0;  // exact: a = 1 + sum, b = B + sum (B - i) * x_i
    for (uint32_t i = 0; i < B; ++i) {
      a += data[i];
      b += a;
    }
    for (size_t p = 1; p + B <= data.size(); ++p) {
      const int64_t out = data[p - 1], in = data[p + B - 1];
      a += in - out;
      b += a - 1 - int64_t{B} * out;
      const uint32_t expected =
          static_cast<uint32_t>(b % 65521) << 16 | static_cast<uint32_t>(a % 65521);
      rolling.Roll(static_cast<uint32_t>(out), static_cast<uint32_t>(in));
      ASSERT_EQ(rolling.value(), expected) << "B " << B << " at " << p;
    }
  }
}

}  // namespace

#include "upload/block_delta.h"
#include "upload/rolling_scan.h"

namespace {

// What the processor offers, asked here rather than through the product, so that a wrong answer
// of the product's own check cannot hide a loop from these tests.
bool ProcessorHas(const char* feature) {
  __builtin_cpu_init();
  if (std::string(feature) == "avx512f") return __builtin_cpu_supports("avx512f");
  if (std::string(feature) == "avx512dq") return __builtin_cpu_supports("avx512dq");
  if (std::string(feature) == "avx2") return __builtin_cpu_supports("avx2");
  return false;
}

struct RollLoop {
  plumet::RollPath path;
  const char* name;
  plumet::RollLoop roll;
};

// Every roll of the scan that this processor can run: the scalar one always, the vector one
// where the processor has what it needs. Each test of the roll runs them all.
std::vector<RollLoop> RunnableRolls() {
  std::vector<RollLoop> loops{{plumet::RollPath::kScalar, "scalar", &plumet::RollToCandidate}};
  if (ProcessorHas("avx2")) {
    loops.push_back({plumet::RollPath::kAvx2, "avx2", &plumet::RollToCandidateAvx2});
  }
  if (ProcessorHas("avx512f") && ProcessorHas("avx512dq")) {
    loops.push_back({plumet::RollPath::kAvx512, "avx512", &plumet::RollToCandidateAvx512});
  }
  return loops;
}

using WindowFn = uint32_t (*)(const unsigned char*, size_t);
struct WindowLoop {
  plumet::WindowAdlerPath path;
  const char* name;
  WindowFn sum;
};

// Every loop of the full window checksum that this processor can run. WindowAdler itself takes
// the AVX2 loop from 64 bytes on wherever the processor has AVX2.
std::vector<WindowLoop> RunnableWindowSums() {
  std::vector<WindowLoop> loops{
      {plumet::WindowAdlerPath::kZlib, "zlib", &plumet::WindowAdlerPlain}};
  if (ProcessorHas("avx2")) {
    loops.push_back({plumet::WindowAdlerPath::kAvx2, "avx2", &plumet::WindowAdler});
  }
  return loops;
}

TEST(ScanLoops, TheOnesThisProcessorTakesAreAmongTheTested) {
  // The product's own checks agree with the processor: a vector loop it could run is not left
  // out (untested and unused), and one it cannot run is never chosen.
  EXPECT_EQ(plumet::RollPathSupported(plumet::RollPath::kAvx512),
            ProcessorHas("avx512f") && ProcessorHas("avx512dq"));
  EXPECT_EQ(plumet::RollPathSupported(plumet::RollPath::kAvx2), ProcessorHas("avx2"));
  EXPECT_EQ(plumet::ChosenWindowAdlerPath() == plumet::WindowAdlerPath::kAvx2,
            ProcessorHas("avx2"));
  // What the scan takes here is one of the loops the tests below run: a failure, not a skip.
  const plumet::RollPath roll = plumet::ChosenRollPath();
  const auto rolls = RunnableRolls();
  EXPECT_TRUE(
      std::any_of(rolls.begin(), rolls.end(), [&](const RollLoop& l) { return l.path == roll; }))
      << "the roll chosen on this processor (" << static_cast<int>(roll) << ") is not tested";
  const plumet::WindowAdlerPath window = plumet::ChosenWindowAdlerPath();
  const auto sums = RunnableWindowSums();
  EXPECT_TRUE(
      std::any_of(sums.begin(), sums.end(), [&](const WindowLoop& l) { return l.path == window; }))
      << "the window sum chosen on this processor (" << static_cast<int>(window)
      << ") is not tested";
}

TEST(WindowAdler, EveryLoopEqualsZlibForEveryLengthAndExtremeBytes) {
  // Lengths around the 32-byte step and the 4096-byte run between reductions; all 0xFF is the
  // largest every sum can grow.
  const auto random = plumet_test::RandomBytes(300000, 78);
  const std::vector<unsigned char> ones(300000, 0xFF);
  for (const WindowLoop& loop : RunnableWindowSums()) {
    SCOPED_TRACE(loop.name);
    for (const auto* data : {&random, &ones}) {
      // From the second byte: the loads are unaligned, as the scan's windows are.
      for (size_t n :
           {0u, 1u, 31u, 32u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 8191u, 65536u, 299999u}) {
        EXPECT_EQ(loop.sum(data->data() + 1, n), Adler(data->data() + 1, n)) << n;
      }
    }
  }
}

// Adler-32 of every window of B bytes, from exact integer sums reduced with % (the plain formula,
// no shortcut of the product's), each window also checked against zlib where a test stops.
std::vector<uint32_t> EveryWindow(const std::vector<unsigned char>& data, uint32_t B) {
  std::vector<uint32_t> weak;
  weak.reserve(data.size() - B + 1);
  int64_t a = 1, b = 0;
  for (uint32_t i = 0; i < B; ++i) {
    a += data[i];
    b += a;
  }
  weak.push_back(static_cast<uint32_t>(b % 65521) << 16 | static_cast<uint32_t>(a % 65521));
  for (size_t p = 1; p + B <= data.size(); ++p) {
    const int64_t out = data[p - 1], in = data[p + B - 1];
    a += in - out;
    b += a - 1 - int64_t{B} * out;
    weak.push_back(static_cast<uint32_t>(b % 65521) << 16 | static_cast<uint32_t>(a % 65521));
  }
  return weak;
}

// Runs `loop` from window 0 to the end as the scan does, and checks every stop against the
// reference: the first later window the filter may know, with its checksum; at the end, `stop`
// with the checksum of the last window. Returns the stops (at most `maxStops` of them).
std::vector<uint64_t> RollAgainstReference(const RollLoop& loop,
                                           const std::vector<unsigned char>& data, uint32_t B,
                                           const plumet::WeakFilter& filter, size_t maxStops) {
  const std::vector<uint32_t> weak = EveryWindow(data, B);
  const uint64_t stop = data.size() - B + 1;
  plumet::RollingAdler rolling(B);
  rolling.Reset(Adler(data.data(), B));
  std::vector<uint64_t> stops;
  uint64_t q = 0;
  uint64_t expected = 0;
  while (q < stop && stops.size() < maxStops) {
    for (++expected; expected < stop && !filter.MayContain(weak[expected]); ++expected) {
    }
    q = loop.roll(data.data(), q, stop, B, rolling, filter);
    EXPECT_EQ(q, expected) << "B " << B;
    if (q != expected) break;
    if (q < stop) {
      EXPECT_EQ(rolling.value(), weak[q]) << "B " << B << " at " << q;
      EXPECT_EQ(rolling.value(), Adler(&data[q], B)) << "B " << B << " at " << q;
      stops.push_back(q);
    } else {
      EXPECT_EQ(rolling.value(), weak[stop - 1]) << "B " << B << ": the last window";
    }
    if (::testing::Test::HasFailure()) break;
  }
  return stops;
}

// Each loop stops at exactly the windows the reference stops at, with the same sums.
TEST(RollingScan, EveryLoopStopsWhereTheReferenceStops) {
  for (const RollLoop& loop : RunnableRolls()) {
    SCOPED_TRACE(loop.name);
    std::mt19937_64 rng(31);
    for (uint32_t B : {1u, 2u, 15u, 16u, 17u, 700u, 4096u, 65521u, 70001u}) {
      auto data = plumet_test::RandomBytes(B + 300000, B);
      if (B % 2 == 1) {
        for (auto& c : data) c = c & 0x80 ? 0xFF : 0x00;  // long runs of extremes
      }
      // Stored checksums: a few hundred real windows, so that the loop stops often.
      plumet::CBlockDelta::BlockIndex index;
      index.set_empty_key(plumet::CBlockDelta::kEmptyKey);
      std::vector<uint64_t> sampled;
      for (int i = 0; i < 300; ++i) {
        sampled.push_back(1 + rng() % (data.size() - B - 1));
        index[Adler(&data[sampled.back()], B)];
      }
      const plumet::WeakFilter filter(index);
      const auto stops = RollAgainstReference(loop, data, B, filter, 5000);
      ASSERT_FALSE(::testing::Test::HasFailure()) << "B " << B;
      EXPECT_GT(stops.size(), 300u) << "B " << B;
      if (stops.size() == 5000) continue;  // cut short: not every window was reached
      for (const uint64_t at : sampled) {
        EXPECT_TRUE(std::binary_search(stops.begin(), stops.end(), at))
            << "B " << B << " window " << at;
      }
    }
  }
}

TEST(RollingScan, LowHalfHittingTheModulusInEveryLane) {
  const uint32_t B = 257;
  for (const RollLoop& loop : RunnableRolls()) {
    SCOPED_TRACE(loop.name);
    for (size_t lead = 0; lead < 20; ++lead) {
      // Window lead + 1 sums to 65520: its low half is exactly the modulus before reduction.
      auto data = plumet_test::RandomBytes(lead, lead);
      data.push_back(0);
      data.insert(data.end(), 256, 255);
      data.push_back(240);
      const auto tail = plumet_test::RandomBytes(100, 99);
      data.insert(data.end(), tail.begin(), tail.end());
      const uint32_t target = Adler(&data[lead + 1], B);
      ASSERT_EQ(target & 0xFFFF, 0u);
      plumet::CBlockDelta::BlockIndex index;
      index.set_empty_key(plumet::CBlockDelta::kEmptyKey);
      index[target];
      const plumet::WeakFilter filter(index);
      plumet::RollingAdler rolling(B);
      rolling.Reset(Adler(data.data(), B));
      const uint64_t stop = data.size() - B + 1;
      EXPECT_EQ(loop.roll(data.data(), 0, stop, B, rolling, filter), lead + 1) << lead;
      EXPECT_EQ(rolling.value(), target) << lead;
    }
  }
}

}  // namespace

namespace {

// The filter in front of the block index may let a stranger through, never turn a stored
// checksum away; with a list too big for its small first bitmap (capped in size), too.
TEST(WeakFilter, NeverTurnsAwayAStoredChecksum) {
  std::mt19937_64 rng(41);
  for (size_t count : {1u, 300u, 70000u, 200000u}) {
    plumet::CBlockDelta::BlockIndex index;
    index.set_empty_key(plumet::CBlockDelta::kEmptyKey);
    std::vector<uint32_t> stored;
    while (stored.size() < count) {
      // Both halves below the modulus, as for every Adler-32.
      const uint32_t weak =
          static_cast<uint32_t>(rng() % 65521) << 16 | static_cast<uint32_t>(rng() % 65521);
      if (index.find(weak) == index.end()) {
        index[weak];
        stored.push_back(weak);
      }
    }
    const plumet::WeakFilter filter(index);
    for (const uint32_t weak : stored) {
      ASSERT_TRUE(filter.MayContain(weak)) << count << " " << weak;
      ASSERT_TRUE(filter.Contains(weak)) << count << " " << weak;
    }
    // Strangers: the bitmaps let few through, and the exact set none.
    int through = 0;
    for (int i = 0; i < 100000; ++i) {
      const uint32_t weak =
          static_cast<uint32_t>(rng() % 65521) << 16 | static_cast<uint32_t>(rng() % 65521);
      if (index.find(weak) != index.end()) continue;
      if (filter.MayContain(weak)) ++through;
      EXPECT_FALSE(filter.Contains(weak)) << weak;
    }
    EXPECT_LT(through, 1000) << count << " stored: the filter lets too many strangers through";
  }
}

// Each loop against the reference with a list as big as a 16-bit block index can name.
TEST(RollingScan, EveryLoopAgreesWithTheReferenceWithAFullSizedList) {
  const uint32_t B = 4096;
  const auto data = plumet_test::RandomBytes(B + 2000000, 43);
  plumet::CBlockDelta::BlockIndex index;
  index.set_empty_key(plumet::CBlockDelta::kEmptyKey);
  std::mt19937_64 rng(44);
  // 65536 stored checksums: some from real windows of the data, the rest anything valid.
  std::vector<uint64_t> sampled;
  for (int i = 0; i < 2000; ++i) {
    sampled.push_back(1 + rng() % (data.size() - B - 1));
    index[Adler(&data[sampled.back()], B)];
  }
  while (index.size() < 65536) {
    index[static_cast<uint32_t>(rng() % 65521) << 16 | static_cast<uint32_t>(rng() % 65521)];
  }
  const plumet::WeakFilter filter(index);
  for (const RollLoop& loop : RunnableRolls()) {
    SCOPED_TRACE(loop.name);
    const auto stops = RollAgainstReference(loop, data, B, filter, data.size());
    ASSERT_FALSE(::testing::Test::HasFailure());
    // Every window whose checksum is stored is a stop.
    for (const uint64_t at : sampled) {
      EXPECT_TRUE(std::binary_search(stops.begin(), stops.end(), at)) << "window " << at;
    }
  }
}

}  // namespace
