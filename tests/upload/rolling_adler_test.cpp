// The rolling weak checksum against zlib's Adler-32 of the same window, recomputed from scratch,
// for block sizes around and beyond the modulus and for extreme byte values.

#include "upload/rolling_adler.h"
#include "upload/window_adler.h"

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "tests/upload/scratch_dir.h"

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

TEST(WindowAdler, EqualsZlibForEveryLengthAndExtremeBytes) {
  // Lengths around the 32-byte step and the 4096-byte run between reductions; all 0xFF is the
  // largest every sum can grow.
  const auto random = plumet_test::RandomBytes(300000, 78);
  const std::vector<unsigned char> ones(300000, 0xFF);
  for (const auto* data : {&random, &ones}) {
    // From the second byte: the loads are unaligned, as the scan's windows are.
    for (size_t n : {0u, 1u, 31u, 32u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 8191u, 65536u, 299999u}) {
      EXPECT_EQ(plumet::WindowAdler(data->data() + 1, n), Adler(data->data() + 1, n)) << n;
    }
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
      const uint32_t expected = static_cast<uint32_t>(b % 65521) << 16 |
                                static_cast<uint32_t>(a % 65521);
      rolling.Roll(static_cast<uint32_t>(out), static_cast<uint32_t>(in));
      ASSERT_EQ(rolling.value(), expected) << "B " << B << " at " << p;
    }
  }
}

}  // namespace

#include "upload/block_delta.h"
#include "upload/rolling_scan.h"

namespace {

// The vector roll must stop at exactly the windows the scalar roll stops at, with the same sums.
TEST(RollingScan, VectorAndScalarStopAtTheSameWindows) {
  if (!plumet::VectorScanSupported()) GTEST_SKIP() << "no AVX-512 on this processor";
  std::mt19937_64 rng(31);
  for (uint32_t B : {1u, 2u, 15u, 16u, 17u, 700u, 4096u, 65521u, 70001u}) {
    auto data = plumet_test::RandomBytes(B + 300000, B);
    if (B % 2 == 1) {
      for (auto& c : data) c = c & 0x80 ? 0xFF : 0x00;  // long runs of extremes
    }
    // Stored checksums: a few hundred real windows, so that both loops stop often.
    plumet::CBlockDelta::BlockIndex index;
    index.set_empty_key(plumet::CBlockDelta::kEmptyKey);
    for (int i = 0; i < 300; ++i) {
      const size_t at = rng() % (data.size() - B);
      index[Adler(&data[at], B)];
    }
    const plumet::WeakFilter filter(index);
    plumet::RollingAdler scalar(B), vector(B);
    scalar.Reset(Adler(data.data(), B));
    vector.Reset(Adler(data.data(), B));
    const uint64_t stop = data.size() - B + 1;
    uint64_t qs = 0, qv = 0;
    int stops = 0;
    while (qs < stop && stops < 5000) {
      qs = plumet::RollToCandidate(data.data(), qs, stop, B, scalar, filter);
      qv = plumet::RollToCandidateVector(data.data(), qv, stop, B, vector, filter);
      ASSERT_EQ(qv, qs) << "B " << B;
      ASSERT_EQ(vector.value(), scalar.value()) << "B " << B << " at " << qs;
      if (qs < stop) {
        ASSERT_EQ(scalar.value(), Adler(&data[qs], B));
      }
      ++stops;
    }
    EXPECT_GT(stops, 300) << "B " << B;
  }
}

}  // namespace

namespace {

TEST(RollingScan, LowHalfHittingTheModulusInEveryLane) {
  if (!plumet::VectorScanSupported()) GTEST_SKIP() << "no AVX-512 on this processor";
  const uint32_t B = 257;
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
    EXPECT_EQ(plumet::RollToCandidateVector(data.data(), 0, stop, B, rolling, filter), lead + 1);
    EXPECT_EQ(rolling.value(), target);
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
      const uint32_t weak = static_cast<uint32_t>(rng() % 65521) << 16 |
                            static_cast<uint32_t>(rng() % 65521);
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
      const uint32_t weak = static_cast<uint32_t>(rng() % 65521) << 16 |
                            static_cast<uint32_t>(rng() % 65521);
      if (index.find(weak) != index.end()) continue;
      if (filter.MayContain(weak)) ++through;
      EXPECT_FALSE(filter.Contains(weak)) << weak;
    }
    EXPECT_LT(through, 1000) << count << " stored: the filter lets too many strangers through";
  }
}

// The vector roll against the scalar one with a list as big as a 16-bit block index can name.
TEST(RollingScan, VectorAndScalarAgreeWithAFullSizedList) {
  if (!plumet::VectorScanSupported()) GTEST_SKIP() << "no AVX-512 on this processor";
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
  plumet::RollingAdler scalar(B), vector(B);
  scalar.Reset(Adler(data.data(), B));
  vector.Reset(Adler(data.data(), B));
  const uint64_t stop = data.size() - B + 1;
  uint64_t qs = 0, qv = 0;
  std::vector<uint64_t> stops;
  while (qs < stop) {
    qs = plumet::RollToCandidate(data.data(), qs, stop, B, scalar, filter);
    qv = plumet::RollToCandidateVector(data.data(), qv, stop, B, vector, filter);
    ASSERT_EQ(qv, qs);
    ASSERT_EQ(vector.value(), scalar.value()) << "at " << qs;
    stops.push_back(qs);
  }
  // Every window whose checksum is stored is a stop.
  for (const uint64_t at : sampled) {
    EXPECT_TRUE(std::binary_search(stops.begin(), stops.end(), at)) << "window " << at;
  }
}

}  // namespace
