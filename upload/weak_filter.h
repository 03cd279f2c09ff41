#pragma once
// A fast "is this weak checksum stored at all?" in front of the block index. The scan asks once
// per byte of the file; the index itself (identity hash, checksums that crowd into a narrow
// band of values) answers a miss only after a long probe through megabytes of buckets.
//
// Two levels:
//  - a bitmap of 128 bits per stored checksum, two bits of one 32-bit word each: a single load
//    that fits in the cache answers "certainly absent" for all but a few in ten thousand;
//  - an exact set of the stored checksums (open addressing, well-mixed hash, at most half full)
//    settles those few, so that the index is reached only by checksums that are really stored.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plumet {

class WeakFilter {
 public:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // never an Adler-32 value

  template <typename Index>
  explicit WeakFilter(const Index& index) {
    unsigned bits = 6;  // 32-bit words, at least four per stored checksum
    while ((size_t{1} << bits) < 4 * index.size() && bits < 26) ++bits;
    shift_ = 32 - bits;
    words_.assign(size_t{1} << bits, 0);
    slots_.assign(size_t{1} << bits, kEmpty);  // at most a quarter full
    slotMask_ = slots_.size() - 1;
    for (const auto& entry : index) {
      const uint32_t weak = entry.first;
      words_[Word(weak)] |= Mask(weak);
      size_t s = Slot(weak);
      while (slots_[s] != kEmpty && slots_[s] != weak) s = (s + 1) & slotMask_;
      slots_[s] = weak;
    }
  }

  // False: the checksum is certainly not stored. True: it may be; ask Contains.
  bool MayContain(uint32_t weak) const {
    const uint32_t mask = Mask(weak);
    return (words_[Word(weak)] & mask) == mask;
  }

  // The bitmap as MayContain reads it, for the vector scan, which must compute the same thing:
  // word = ((weak + 1) * kWordMultiplier) >> shift();
  // g = weak * kBitMultiplier; mask = 1 << (g >> 27) | 1 << ((g >> 22) & 31).
  const uint32_t* words() const { return words_.data(); }
  unsigned shift() const { return shift_; }
  static constexpr uint32_t kWordMultiplier = 0x9E3779B1u;
  static constexpr uint32_t kBitMultiplier = 0x85EBCA6Bu;

  // Exact membership.
  bool Contains(uint32_t weak) const {
    for (size_t s = Slot(weak);; s = (s + 1) & slotMask_) {
      if (slots_[s] == weak) return true;
      if (slots_[s] == kEmpty) return false;
    }
  }

 private:
  size_t Word(uint32_t weak) const { return (weak + 1) * kWordMultiplier >> shift_; }
  static uint32_t Mask(uint32_t weak) {
    const uint32_t g = weak * kBitMultiplier;
    return uint32_t{1} << (g >> 27) | uint32_t{1} << ((g >> 22) & 31);
  }
  size_t Slot(uint32_t weak) const {
    uint32_t x = weak;  // the finaliser of MurmurHash3: every input bit moves every output bit
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x & slotMask_;
  }

  std::vector<uint32_t> words_;
  std::vector<uint32_t> slots_;
  size_t slotMask_ = 0;
  unsigned shift_ = 26;
};

}  // namespace plumet
