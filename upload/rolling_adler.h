#pragma once
// Adler-32 of a window of B bytes, moved along a buffer one byte at a time. Each step is exact
// (the value always equals the Adler-32 of the new window) and needs no division: both halves
// stay below 65521, so conditional subtractions reduce them, and B * out mod 65521 comes from a
// table made once per block size.

#include <cstdint>

namespace plumet {

class RollingAdler {
 public:
  static constexpr uint32_t kModulus = 65521;

  explicit RollingAdler(uint32_t blockSize) {
    const uint64_t bMod = blockSize % kModulus;
    for (uint32_t v = 0; v < 256; ++v) outTerm_[v] = static_cast<uint32_t>(bMod * v % kModulus);
  }

  // Starts from the full Adler-32 of a window (as zlib's adler32 returns it).
  void Reset(uint32_t adler) {
    a_ = adler & 0xFFFF;
    b_ = adler >> 16;
  }

  // Moves the window by one byte: `out` leaves at the front, `in` enters at the back.
  //   a' = a + in - out                      (mod 65521)
  //   b' = b + (a' + 65520 - B * out)        (mod 65521)
  // a' leaves [0, 65521) only when a is within 255 of an end: rare, so plain branches that
  // predict well. The other two reductions go either way at random and are written as selects
  // (conditional moves), keeping b's chain from one byte to the next at an add and a select.
  void Roll(uint32_t out, uint32_t in) {
    uint32_t a = a_ + in - out;  // may wrap below zero
    if (static_cast<int32_t>(a) < 0) {
      a += kModulus;
    } else if (a >= kModulus) {
      a -= kModulus;
    }
    uint32_t t = a + (kModulus - 1) - outTerm_[out];  // in [0, 2 * 65521 - 1)
    const uint32_t tr = t - kModulus;
    t = t >= kModulus ? tr : t;
    uint32_t b = b_ + t;  // in [0, 2 * 65521 - 1)
    const uint32_t br = b - kModulus;
    b = b >= kModulus ? br : b;
    a_ = a;
    b_ = b;
  }

  uint32_t value() const { return b_ << 16 | a_; }

 private:
  uint32_t outTerm_[256];
  uint32_t a_ = 1;
  uint32_t b_ = 0;
};

}  // namespace plumet
