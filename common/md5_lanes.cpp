#include "common/md5_lanes.h"

#include <immintrin.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

// The vector kernels carry their own target attribute, so the rest of the build keeps its flags
// and a processor without the unit never runs them (Md5PathAvailable decides at run time).
#define PLUMET_AVX2 __attribute__((target("avx2")))
#define PLUMET_AVX512 __attribute__((target("avx512f")))
#define PLUMET_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#define PLUMET_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

namespace plumet_common {
namespace {

constexpr size_t kBlock = 64;
constexpr size_t kMaxLanes = 16;

constexpr uint32_t kInit[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// floor(|sin(i + 1)| * 2^32), the additive constant of step i.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left rotation of step i: each round of 16 steps cycles through four amounts.
constexpr int Shift(size_t i) {
  constexpr int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  return kShifts[i / 16][i % 4];
}

// Message word step i reads: in order, then 5i+1, 3i+5 and 7i (mod 16) in the later rounds.
constexpr size_t Word(size_t i) {
  switch (i / 16) {
    case 0:
      return i;
    case 1:
      return (5 * i + 1) % 16;
    case 2:
      return (3 * i + 5) % 16;
    default:
      return (7 * i) % 16;
  }
}

// The state words rotate roles every step; with them kept in place, step i updates v[(4-i)%4]
// ("a") from the next three ("b", "c", "d").
constexpr size_t Role(size_t i, size_t r) { return (4 - i % 4 + r) % 4; }

// The F, G, H, I functions of the four rounds as vpternlogd truth tables over (b, c, d), whose
// own tables are 0xF0, 0xCC and 0xAA: F = b ? c : d, G = d ? b : c, H = b ^ c ^ d,
// I = c ^ (b | ~d).
constexpr int kTernary[4] = {0xCA, 0xE4, 0x96, 0x39};

// Lane j's state word k lies at state[k * kMaxLanes + j]: one vector load per word.
using LaneState = uint32_t[4 * kMaxLanes];

// One 64-byte block per lane; lanes whose bit in `active` is clear keep their state.
using Kernel = void (*)(LaneState& state, const unsigned char* const* blocks, unsigned active);

// ---- AVX-512: 16 lanes ----

// The unmasked forms of vprold, vinserti64x4 and the gathers start from an "undefined" vector,
// which GCC 12's -Wuninitialized flags in its own headers; with every lane selected the masked
// forms are the same.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask8 kAll8 = 0xFF;

template <size_t I>
PLUMET_AVX512_INLINE void Step16(__m512i (&v)[4], const __m512i (&m)[16]) {
  __m512i& a = v[Role(I, 0)];
  const __m512i b = v[Role(I, 1)];
  // a + K + M does not wait for b: only the function, the rotation and the last add do.
  const __m512i early = _mm512_add_epi32(
      a, _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(kSine[I])), m[Word(I)]));
  const __m512i f = _mm512_ternarylogic_epi32(b, v[Role(I, 2)], v[Role(I, 3)], kTernary[I / 16]);
  a = _mm512_add_epi32(b, _mm512_maskz_rol_epi32(kAll16, _mm512_add_epi32(early, f), Shift(I)));
}

template <size_t... I>
PLUMET_AVX512_INLINE void Steps16(__m512i (&v)[4], const __m512i (&m)[16],
                                  std::index_sequence<I...> /*steps*/) {
  (Step16<I>(v, m), ...);
}

PLUMET_AVX512 void Compress16(LaneState& state, const unsigned char* const* blocks,
                              unsigned active) {
  // Word w of every lane's block in one vector: gathered through the 64-bit block addresses
  // (eight per gather), moved on by 4 bytes per word.
  __m512i low = _mm512_loadu_si512(blocks);
  __m512i high = _mm512_loadu_si512(blocks + 8);
  const __m512i four = _mm512_set1_epi64(4);
  __m512i m[16];
  for (__m512i& word : m) {
    const __m256i none = _mm256_setzero_si256();
    const __m256i first = _mm512_mask_i64gather_epi32(none, kAll8, low, nullptr, 1);
    const __m256i second = _mm512_mask_i64gather_epi32(none, kAll8, high, nullptr, 1);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i base = _mm512_mask_inserti64x4(zero, kAll8, zero, first, 0);
    word = _mm512_mask_inserti64x4(base, kAll8, base, second, 1);
    low = _mm512_add_epi64(low, four);
    high = _mm512_add_epi64(high, four);
  }
  __m512i v[4];
  __m512i start[4];
  for (size_t k = 0; k < 4; ++k) v[k] = start[k] = _mm512_loadu_si512(state + k * kMaxLanes);
  Steps16(v, m, std::make_index_sequence<64>());
  const auto mask = static_cast<__mmask16>(active);
  for (size_t k = 0; k < 4; ++k) {
    // Idle lanes keep `start`: their message has ended, and the block they were given is filler.
    _mm512_storeu_si512(state + k * kMaxLanes,
                        _mm512_mask_add_epi32(start[k], mask, v[k], start[k]));
  }
}

// ---- AVX2: 8 lanes ----

template <int S>
PLUMET_AVX2_INLINE __m256i Rotate8(__m256i x) {
  return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}

template <size_t R>
PLUMET_AVX2_INLINE __m256i Function8(__m256i b, __m256i c, __m256i d) {
  if constexpr (R == 0) return _mm256_xor_si256(_mm256_and_si256(_mm256_xor_si256(c, d), b), d);
  if constexpr (R == 1) return _mm256_xor_si256(_mm256_and_si256(_mm256_xor_si256(b, c), d), c);
  if constexpr (R == 2) return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
  if constexpr (R == 3) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
  }
}

template <size_t I>
PLUMET_AVX2_INLINE void Step8(__m256i (&v)[4], const __m256i (&m)[16]) {
  __m256i& a = v[Role(I, 0)];
  const __m256i b = v[Role(I, 1)];
  const __m256i early = _mm256_add_epi32(
      a, _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(kSine[I])), m[Word(I)]));
  const __m256i f = Function8<I / 16>(b, v[Role(I, 2)], v[Role(I, 3)]);
  a = _mm256_add_epi32(b, Rotate8<Shift(I)>(_mm256_add_epi32(early, f)));
}

template <size_t... I>
PLUMET_AVX2_INLINE void Steps8(__m256i (&v)[4], const __m256i (&m)[16],
                               std::index_sequence<I...> /*steps*/) {
  (Step8<I>(v, m), ...);
}

PLUMET_AVX2 void Compress8(LaneState& state, const unsigned char* const* blocks, unsigned active) {
  __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks));
  __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blocks + 4));
  const __m256i four = _mm256_set1_epi64x(4);
  __m256i m[16];
  for (__m256i& word : m) {
    const __m128i first = _mm256_i64gather_epi32(nullptr, low, 1);
    const __m128i second = _mm256_i64gather_epi32(nullptr, high, 1);
    word = _mm256_set_m128i(second, first);
    low = _mm256_add_epi64(low, four);
    high = _mm256_add_epi64(high, four);
  }
  __m256i v[4];
  __m256i start[4];
  for (size_t k = 0; k < 4; ++k) {
    v[k] = start[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state + k * kMaxLanes));
  }
  Steps8(v, m, std::make_index_sequence<64>());
  // All ones in the lanes whose bit of `active` is set.
  const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const __m256i keep =
      _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(active)), bits), bits);
  for (size_t k = 0; k < 4; ++k) {
    const __m256i sum = _mm256_add_epi32(v[k], start[k]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(state + k * kMaxLanes),
                        _mm256_blendv_epi8(start[k], sum, keep));
  }
}

// ---- Lanes ----

// A message as 64-byte blocks: the whole ones read in place, the last one or two (the rest of the
// message, 0x80, zeros and the bit length) built in `tail`.
struct Lane {
  const unsigned char* data = nullptr;
  size_t whole = 0;
  size_t blocks = 0;
  unsigned char tail[2 * kBlock] = {};

  void Start(const unsigned char* message, size_t length) {
    data = message;
    whole = length / kBlock;
    const size_t rest = length % kBlock;
    // The 8 length bytes must fit after the 0x80: from 56 bytes on they spill into a second block.
    const size_t padded = rest < kBlock - 8 ? kBlock : 2 * kBlock;
    std::memset(tail, 0, padded);
    if (rest != 0) std::memcpy(tail, message + whole * kBlock, rest);
    tail[rest] = 0x80;
    // Length in bits modulo 2^64, little-endian, as MD5 appends it; size_t wraps the same way.
    const uint64_t bits = static_cast<uint64_t>(length) * 8;
    for (size_t i = 0; i < 8; ++i)
      tail[padded - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    blocks = whole + padded / kBlock;
  }

  const unsigned char* Block(size_t b) const {
    return b < whole ? data + b * kBlock : tail + (b - whole) * kBlock;
  }
};

// What idle lanes read: any 64 readable bytes, since their result is dropped.
constexpr unsigned char kIdleBlock[kBlock] = {};

void PutDigest(const LaneState& state, size_t lane, Md5Bytes& out) {
  for (size_t k = 0; k < 4; ++k) {
    const uint32_t word = state[k * kMaxLanes + lane];
    for (size_t i = 0; i < 4; ++i) out[4 * k + i] = static_cast<unsigned char>(word >> (8 * i));
  }
}

// Messages order[0..count) (count <= lanes) side by side; a lane whose message has ended idles
// until the longest one has.
void HashGroup(Kernel kernel, size_t lanes, const unsigned char* const* data, const size_t* lengths,
               const size_t* order, size_t count, Md5Bytes* out) {
  Lane lane[kMaxLanes];
  size_t rounds = 0;
  for (size_t j = 0; j < count; ++j) {
    lane[j].Start(data[order[j]], lengths[order[j]]);
    rounds = std::max(rounds, lane[j].blocks);
  }
  LaneState state;
  for (size_t k = 0; k < 4; ++k) std::fill_n(state + k * kMaxLanes, kMaxLanes, kInit[k]);
  const unsigned char* blocks[kMaxLanes];
  for (size_t b = 0; b < rounds; ++b) {
    unsigned active = 0;
    for (size_t j = 0; j < lanes; ++j) {
      const bool live = j < count && b < lane[j].blocks;
      blocks[j] = live ? lane[j].Block(b) : kIdleBlock;
      if (live) active |= 1U << j;
    }
    kernel(state, blocks, active);
  }
  for (size_t j = 0; j < count; ++j) PutDigest(state, j, out[order[j]]);
}

bool OpensslMd5(const unsigned char* data, size_t length, Md5Bytes& out) {
  unsigned int size = 0;
  if (EVP_Digest(data, length, out.data(), &size, EVP_md5(), nullptr) == 1 && size == out.size()) {
    return true;
  }
  out.fill(0);
  return false;
}

bool HasAvx512() {
  static const bool has = __builtin_cpu_supports("avx512f") != 0;
  return has;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}

}  // namespace

bool Md5PathAvailable(Md5Path path) {
  switch (path) {
    case Md5Path::kAvx512:
      return HasAvx512();
    case Md5Path::kAvx2:
      return HasAvx2();
    default:
      return true;
  }
}

bool Md5Many(const unsigned char* const* data, const size_t* lengths, size_t count, Md5Bytes* out,
             Md5Path path) {
  const bool forced = path != Md5Path::kAuto && Md5PathAvailable(path);
  if (!forced) {
    path = HasAvx512() ? Md5Path::kAvx512 : HasAvx2() ? Md5Path::kAvx2 : Md5Path::kOpenssl;
  }
  bool ok = true;
  if (path == Md5Path::kOpenssl) {
    for (size_t i = 0; i < count; ++i) ok = OpensslMd5(data[i], lengths[i], out[i]) && ok;
    return ok;
  }
  const Kernel kernel = path == Md5Path::kAvx512 ? Compress16 : Compress8;
  const size_t lanes = path == Md5Path::kAvx512 ? 16 : 8;
  // Unless forced, a last group this small goes to OpenSSL: a vector pass would cost more.
  const size_t fewest = forced ? 1 : lanes / 4;
  // Longest first, so that each group holds messages of about one length and few lanes idle.
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return lengths[x] > lengths[y]; });
  size_t done = 0;
  for (; done < count && count - done >= fewest; done += lanes) {
    HashGroup(kernel, lanes, data, lengths, order.data() + done, std::min(lanes, count - done),
              out);
  }
  for (; done < count; ++done) {
    const size_t i = order[done];
    ok = OpensslMd5(data[i], lengths[i], out[i]) && ok;
  }
  return ok;
}

}  // namespace plumet_common
