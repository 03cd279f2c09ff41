#include "upload/rolling_scan.h"

// The compiler's own AVX-512 intrinsics start from a deliberately undefined vector, which it then
// reports as possibly uninitialised (a known false positive of this compiler's headers). Clang
// has neither the warning nor the false positive.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace plumet {

uint64_t RollToCandidate(const unsigned char* d, uint64_t q, uint64_t stop, uint32_t B,
                         RollingAdler& rolling, const WeakFilter& filter) {
  for (++q; q < stop; ++q) {
    rolling.Roll(d[q - 1], d[q + B - 1]);
    if (filter.MayContain(rolling.value())) return q;
  }
  return stop;
}

bool RollPathSupported(RollPath path) {
  __builtin_cpu_init();
  switch (path) {
    case RollPath::kScalar:
      return true;
    case RollPath::kAvx2:
      return __builtin_cpu_supports("avx2");
    case RollPath::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  }
  return false;
}

RollPath ChosenRollPath() {
  static const RollPath chosen = RollPathSupported(RollPath::kAvx512) ? RollPath::kAvx512
                                 : RollPathSupported(RollPath::kAvx2) ? RollPath::kAvx2
                                                                      : RollPath::kScalar;
  return chosen;
}

RollLoop RollLoopFor(RollPath path) {
  switch (path) {
    case RollPath::kAvx512:
      return &RollToCandidateAvx512;
    case RollPath::kAvx2:
      return &RollToCandidateAvx2;
    case RollPath::kScalar:
      break;
  }
  return &RollToCandidate;
}

namespace {

constexpr uint32_t kModulus = RollingAdler::kModulus;

#define PLUMET_AVX512 __attribute__((target("avx512f,avx512dq")))

// Lane i receives the sum of lanes 0..i.
PLUMET_AVX512 inline __m512i PrefixSum(__m512i x) {
  const __m512i zero = _mm512_setzero_si512();
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 15));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
  return x;
}

// x mod 65521 for 0 <= x < 2^24: 65536 = 15 (mod 65521), so folding the high part in keeps the
// value below 2 * 65521, and one conditional subtraction finishes.
PLUMET_AVX512 inline __m512i Mod(__m512i x) {
  const __m512i m = _mm512_set1_epi32(kModulus);
  const __m512i hi = _mm512_srli_epi32(x, 16);
  x = _mm512_add_epi32(_mm512_and_si512(x, _mm512_set1_epi32(0xFFFF)),
                       _mm512_sub_epi32(_mm512_slli_epi32(hi, 4), hi));
  return _mm512_min_epu32(x, _mm512_sub_epi32(x, m));
}

// Of the lanes in `lanes`, those whose checksum `bitmap` may contain (WeakFilter::Bitmap::Has
// for sixteen lanes). Only the lanes asked for are read.
PLUMET_AVX512 inline __mmask16 BitmapHits(__mmask16 lanes, __m512i weak,
                                          const WeakFilter::Bitmap& bitmap) {
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i low5 = _mm512_set1_epi32(31);
  const __m512i index = _mm512_srl_epi32(
      _mm512_mullo_epi32(weak, _mm512_set1_epi32(static_cast<int>(bitmap.wordMultiplier))),
      _mm_cvtsi32_si128(static_cast<int>(bitmap.shift)));
  const __m512i word = lanes == 0xFFFF ? _mm512_i32gather_epi32(index, bitmap.words.data(), 4)
                                       : _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), lanes,
                                                                     index, bitmap.words.data(), 4);
  const __m512i c =
      _mm512_mullo_epi32(weak, _mm512_set1_epi32(static_cast<int>(bitmap.bitMultiplier)));
  __m512i mask =
      _mm512_or_si512(_mm512_sllv_epi32(one, _mm512_srli_epi32(c, 27)),
                      _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(c, 22), low5)));
  if (bitmap.bits == 4) {
    mask = _mm512_or_si512(
        mask,
        _mm512_or_si512(_mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(c, 17), low5)),
                        _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(c, 12), low5))));
  }
  return _mm512_mask_cmpeq_epi32_mask(lanes, _mm512_and_si512(word, mask), mask);
}

// The lanes whose checksum the filter may contain (WeakFilter::MayContain for sixteen lanes).
PLUMET_AVX512 inline __mmask16 FilterHits(__m512i weak, const WeakFilter& filter) {
  __mmask16 hits = BitmapHits(0xFFFF, weak, filter.coarse());
  if (hits != 0) hits = BitmapHits(hits, weak, filter.fine());
  return hits;
}

}  // namespace

PLUMET_AVX512 uint64_t RollToCandidateAvx512(const unsigned char* d, uint64_t q, uint64_t stop,
                                             uint32_t B, RollingAdler& rolling,
                                             const WeakFilter& filter) {
  const __m512i m = _mm512_set1_epi32(kModulus);
  const __m512i bMod = _mm512_set1_epi32(static_cast<int>(B % kModulus));
  const __m512i mMinus1 = _mm512_set1_epi32(kModulus - 1);
  const __m512i last = _mm512_set1_epi32(15);

  const uint32_t start = rolling.value();
  __m512i a = _mm512_set1_epi32(static_cast<int>(start & 0xFFFF));  // every lane: window q
  __m512i b = _mm512_set1_epi32(static_cast<int>(start >> 16));
  // Sixteen windows q+1 .. q+16 per step, while all of them lie below stop.
  while (stop - q > 16) {
    const __m512i out =
        _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q)));
    const __m512i in =
        _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(d + q + B)));
    // a of each window, from a of window q plus the running sum of (in - out), in (-M, 2M).
    __m512i na = _mm512_add_epi32(a, PrefixSum(_mm512_sub_epi32(in, out)));
    na = _mm512_min_epu32(na, _mm512_add_epi32(na, m));  // a negative value is huge unsigned
    na = _mm512_min_epu32(na, _mm512_sub_epi32(na, m));
    // t = a' + M - 1 - (B * out mod M), reduced to [0, M); b is b of window q plus their sum.
    const __m512i outTerm = Mod(_mm512_mullo_epi32(bMod, out));
    __m512i t = _mm512_sub_epi32(_mm512_add_epi32(na, mMinus1), outTerm);
    t = _mm512_min_epu32(t, _mm512_sub_epi32(t, m));
    const __m512i nb = Mod(_mm512_add_epi32(b, PrefixSum(t)));  // < 17 * M < 2^21
    const __m512i weak = _mm512_or_si512(_mm512_slli_epi32(nb, 16), na);
    const unsigned hits = FilterHits(weak, filter);
    if (hits != 0) {
      const unsigned lane = static_cast<unsigned>(__builtin_ctz(hits));
      alignas(64) uint32_t lanes[16];
      _mm512_store_si512(lanes, weak);
      rolling.Reset(lanes[lane]);
      return q + 1 + lane;
    }
    a = _mm512_permutexvar_epi32(last, na);
    b = _mm512_permutexvar_epi32(last, nb);
    q += 16;
  }
  alignas(64) uint32_t lanes[16];
  _mm512_store_si512(lanes, _mm512_or_si512(_mm512_slli_epi32(b, 16), a));
  rolling.Reset(lanes[0]);
  return RollToCandidate(d, q, stop, B, rolling, filter);
}

}  // namespace plumet
