#include "upload/window_adler.h"

#include <immintrin.h>
#include <zlib.h>

namespace plumet {

namespace {

constexpr uint32_t kModulus = 65521;
// Bytes summed between two reductions: b grows by at most run * (a + 255 * run) in one run,
// which with 4096 bytes stays far below 2^64 and the per-lane sums below 2^32.
constexpr size_t kRun = 4096;

bool HasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const bool kAvx2 = HasAvx2();

__attribute__((target("avx2"))) uint64_t Sum32(__m256i v) {
  const __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  const __m128i y = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4E));
  const __m128i z = _mm_add_epi32(y, _mm_shuffle_epi32(y, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(z));
}

// Adler-32 from a = 1, b = 0 over n bytes; n is a multiple of 32 here, the rest goes to zlib.
__attribute__((target("avx2"))) uint32_t Avx2Adler(const unsigned char* d, size_t n) {
  // Byte j of a 32-byte step weighs 32 - j in b (it is summed 32 - j times within the step).
  const __m256i weights =
      _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14,
                       13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  uint64_t a = 1, b = 0;
  while (n > 0) {
    const size_t run = n < kRun ? n : kRun;
    __m256i sum = zero;        // bytes of the run so far, four 64-bit lanes
    __m256i sumBefore = zero;  // of `sum` before each step: each such byte counts 32 more times
    __m256i weighted = zero;   // the in-step weights
    for (size_t i = 0; i < run; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
      sumBefore = _mm256_add_epi32(sumBefore, sum);
      sum = _mm256_add_epi32(sum, _mm256_sad_epu8(v, zero));
      weighted =
          _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(v, weights), ones));
    }
    const uint64_t runSum = Sum32(sum);
    const uint64_t runB = 32 * Sum32(sumBefore) + Sum32(weighted);
    b = (b + a * run + runB) % kModulus;
    a = (a + runSum) % kModulus;
    d += run;
    n -= run;
  }
  return static_cast<uint32_t>(b << 16 | a);
}

}  // namespace

uint32_t WindowAdlerPlain(const unsigned char* d, size_t n) {
  return static_cast<uint32_t>(adler32_z(1L, d, n));
}

WindowAdlerPath ChosenWindowAdlerPath() {
  return kAvx2 ? WindowAdlerPath::kAvx2 : WindowAdlerPath::kZlib;
}

uint32_t WindowAdler(const unsigned char* d, size_t n) {
  if (!kAvx2 || n < 64) return WindowAdlerPlain(d, n);
  const size_t whole = n & ~size_t{31};
  const uint32_t head = Avx2Adler(d, whole);
  return whole == n ? head : static_cast<uint32_t>(adler32_z(head, d + whole, n - whole));
}

}  // namespace plumet
