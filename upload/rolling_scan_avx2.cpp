// The scan's inner loop eight windows per step with AVX2: what most processors without AVX-512
// have. The same arithmetic as the sixteen-lane loop beside it, in 256-bit registers; the
// bitmaps are read with gathers. Results equal the scalar loop's.

#include <immintrin.h>

#include "upload/rolling_scan.h"

namespace plumet {

namespace {

constexpr uint32_t kModulus = RollingAdler::kModulus;

#define PLUMET_AVX2 __attribute__((target("avx2")))

// Lane i receives the sum of lanes 0..i. The byte shifts stay within each 128-bit half, so the
// low half's total is added to the high half at the end.
PLUMET_AVX2 inline __m256i PrefixSum(__m256i x) {
  x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
  x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
  const __m256i lowTotal = _mm256_shuffle_epi32(x, _MM_SHUFFLE(3, 3, 3, 3));
  return _mm256_add_epi32(x, _mm256_permute2x128_si256(lowTotal, lowTotal, 0x08));
}

// x mod 65521 for 0 <= x < 2^24 (65536 = 15 mod 65521; see the sixteen-lane loop).
PLUMET_AVX2 inline __m256i Mod(__m256i x) {
  const __m256i m = _mm256_set1_epi32(kModulus);
  const __m256i hi = _mm256_srli_epi32(x, 16);
  x = _mm256_add_epi32(_mm256_and_si256(x, _mm256_set1_epi32(0xFFFF)),
                       _mm256_sub_epi32(_mm256_slli_epi32(hi, 4), hi));
  return _mm256_min_epu32(x, _mm256_sub_epi32(x, m));
}

// All ones in the lanes of `lanes` whose checksum `bitmap` may contain (WeakFilter::Bitmap::Has
// for eight lanes). `all`: every lane is asked, and the gather needs no mask.
PLUMET_AVX2 inline __m256i BitmapHits(__m256i lanes, bool all, __m256i weak,
                                      const WeakFilter::Bitmap& bitmap) {
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i low5 = _mm256_set1_epi32(31);
  const __m256i index = _mm256_srl_epi32(
      _mm256_mullo_epi32(weak, _mm256_set1_epi32(static_cast<int>(bitmap.wordMultiplier))),
      _mm_cvtsi32_si128(static_cast<int>(bitmap.shift)));
  const auto* words = reinterpret_cast<const int*>(bitmap.words.data());
  const __m256i word =
      all ? _mm256_i32gather_epi32(words, index, 4)
          : _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), words, index, lanes, 4);
  const __m256i c =
      _mm256_mullo_epi32(weak, _mm256_set1_epi32(static_cast<int>(bitmap.bitMultiplier)));
  __m256i mask =
      _mm256_or_si256(_mm256_sllv_epi32(one, _mm256_srli_epi32(c, 27)),
                      _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(c, 22), low5)));
  if (bitmap.bits == 4) {
    mask = _mm256_or_si256(
        mask,
        _mm256_or_si256(_mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(c, 17), low5)),
                        _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(c, 12), low5))));
  }
  return _mm256_and_si256(lanes, _mm256_cmpeq_epi32(_mm256_and_si256(word, mask), mask));
}

// One bit per lane (lane 0 lowest) whose checksum the filter may contain.
PLUMET_AVX2 inline unsigned FilterHits(__m256i weak, const WeakFilter& filter) {
  __m256i hits = BitmapHits(_mm256_set1_epi32(-1), true, weak, filter.coarse());
  if (_mm256_testz_si256(hits, hits) != 0) return 0;
  hits = BitmapHits(hits, false, weak, filter.fine());
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(hits)));
}

}  // namespace

PLUMET_AVX2 uint64_t RollToCandidateAvx2(const unsigned char* d, uint64_t q, uint64_t stop,
                                         uint32_t B, RollingAdler& rolling,
                                         const WeakFilter& filter) {
  const __m256i m = _mm256_set1_epi32(kModulus);
  const __m256i bMod = _mm256_set1_epi32(static_cast<int>(B % kModulus));
  const __m256i mMinus1 = _mm256_set1_epi32(kModulus - 1);
  const __m256i last = _mm256_set1_epi32(7);

  const uint32_t start = rolling.value();
  __m256i a = _mm256_set1_epi32(static_cast<int>(start & 0xFFFF));  // every lane: window q
  __m256i b = _mm256_set1_epi32(static_cast<int>(start >> 16));
  // Eight windows q+1 .. q+8 per step, while all of them lie below stop.
  while (stop - q > 8) {
    const __m256i out =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d + q)));
    const __m256i in =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(d + q + B)));
    // a of each window, from a of window q plus the running sum of (in - out), in (-M, 2M).
    __m256i na = _mm256_add_epi32(a, PrefixSum(_mm256_sub_epi32(in, out)));
    na = _mm256_min_epu32(na, _mm256_add_epi32(na, m));  // a negative value is huge unsigned
    na = _mm256_min_epu32(na, _mm256_sub_epi32(na, m));
    // t = a' + M - 1 - (B * out mod M), reduced to [0, M); b is b of window q plus their sum.
    const __m256i outTerm = Mod(_mm256_mullo_epi32(bMod, out));
    __m256i t = _mm256_sub_epi32(_mm256_add_epi32(na, mMinus1), outTerm);
    t = _mm256_min_epu32(t, _mm256_sub_epi32(t, m));
    const __m256i nb = Mod(_mm256_add_epi32(b, PrefixSum(t)));  // < 9 * M < 2^20
    const __m256i weak = _mm256_or_si256(_mm256_slli_epi32(nb, 16), na);
    const unsigned hits = FilterHits(weak, filter);
    if (hits != 0) {
      const unsigned lane = static_cast<unsigned>(__builtin_ctz(hits));
      alignas(32) uint32_t lanes[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), weak);
      rolling.Reset(lanes[lane]);
      return q + 1 + lane;
    }
    a = _mm256_permutevar8x32_epi32(na, last);
    b = _mm256_permutevar8x32_epi32(nb, last);
    q += 8;
  }
  rolling.Reset(static_cast<uint32_t>(_mm256_cvtsi256_si32(b)) << 16 |
                static_cast<uint32_t>(_mm256_cvtsi256_si32(a)));
  return RollToCandidate(d, q, stop, B, rolling, filter);
}

}  // namespace plumet
