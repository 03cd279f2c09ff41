#pragma once
// A fast "is this weak checksum stored at all?" in front of the block index. The scan asks once
// per byte of the file; the index itself (identity hash, checksums that crowd into a narrow
// band of values) answers a miss only after a long probe through megabytes of buckets.
//
// Two bitmaps, the second asked only when the first says "maybe", then an exact set:
//  - coarse: about 32 bits per stored checksum, at most 128 KiB, four bits of one 32-bit word
//    each. It is read for every byte of the file, and those reads are the bulk of the vector
//    scan's cost, growing with the bitmap's size as it leaves the nearest caches. For 65536
//    stored blocks it lets through about one checksum in a hundred;
//  - fine: 128 bits per stored checksum, two bits of one word each, read only for the lanes the
//    coarse one let through; together they let through about one stranger in 100 000;
//  - an exact table of the stored checksums (open addressing, well-mixed hash, at most a quarter
//    full) settles those few and hands over the digests stored under a checksum at once: on a
//    file that is mostly matched it is asked once per block, and the index's own probing (an
//    identity hash over checksums that crowd together) was a chain of cache misses each time.
// Each bitmap: word = (weak * wordMultiplier) >> shift; c = weak * bitMultiplier; the bits
// (c >> 27), (c >> 22) & 31, (c >> 17) & 31, (c >> 12) & 31 of that word, the first `bits` of
// them, must all be set. The levels use unrelated multipliers, so that they fail independently.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "upload/block_delta.h"
#include "upload/digests.h"

namespace plumet {

class WeakFilter {
 public:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // never an Adler-32 value

  // What is stored under one weak checksum: nearly always one digest, kept here flat; with
  // several, `all` points to them in the index.
  struct Stored {
    Md5 digest;
    int32_t block;
    const CBlockDelta::DigestMap* all;
  };

  struct Bitmap {
    uint32_t wordMultiplier;
    uint32_t bitMultiplier;
    unsigned bits;  // 2 or 4 bits per stored checksum
    unsigned shift = 26;
    std::vector<uint32_t> words;

    void Size(size_t wordsWanted, unsigned maxLog2) {
      unsigned log2 = 6;
      while ((size_t{1} << log2) < wordsWanted && log2 < maxLog2) ++log2;
      shift = 32 - log2;
      words.assign(size_t{1} << log2, 0);
    }
    uint32_t Word(uint32_t weak) const { return weak * wordMultiplier >> shift; }
    uint32_t Mask(uint32_t weak) const {
      const uint32_t c = weak * bitMultiplier;
      uint32_t mask = uint32_t{1} << (c >> 27) | uint32_t{1} << ((c >> 22) & 31);
      if (bits == 4) mask |= uint32_t{1} << ((c >> 17) & 31) | uint32_t{1} << ((c >> 12) & 31);
      return mask;
    }
    void Add(uint32_t weak) { words[Word(weak)] |= Mask(weak); }
    bool Has(uint32_t weak) const {
      const uint32_t mask = Mask(weak);
      return (words[Word(weak)] & mask) == mask;
    }
  };

  template <typename Index>
  explicit WeakFilter(const Index& index) {
    const size_t n = index.size();
    coarse_.Size(n, 15);
    fine_.Size(4 * n, 26);
    slots_.assign(fine_.words.size(), kEmpty);  // at most a quarter full
    stored_.reserve(n);
    slotStored_.assign(slots_.size(), 0);
    slotMask_ = slots_.size() - 1;
    for (const auto& entry : index) {
      const uint32_t weak = entry.first;
      coarse_.Add(weak);
      fine_.Add(weak);
      size_t s = Slot(weak);
      while (slots_[s] != kEmpty && slots_[s] != weak) s = (s + 1) & slotMask_;
      slots_[s] = weak;
      slotStored_[s] = static_cast<uint32_t>(stored_.size());
      Stored one{};
      if (entry.second.size() == 1 && entry.second.begin()->first.size() == one.digest.size()) {
        const auto& [digest, block] = *entry.second.begin();
        std::copy(digest.begin(), digest.end(), one.digest.begin());
        one.block = block;
      } else {
        one.all = &entry.second;
      }
      stored_.push_back(one);
    }
  }

  // False: the checksum is certainly not stored. True: it may be; ask Find. (Both bitmaps must
  // agree, in either order. The coarse one is asked first, as the vector scan does: it stays in
  // the nearest caches, while the fine one, several times larger for a big index, would cost a
  // cache miss on nearly every byte the scan rolls over.)
  bool MayContain(uint32_t weak) const { return coarse_.Has(weak) && fine_.Has(weak); }

  // The bitmaps in the order MayContain asks them, for the vector scan.
  const Bitmap& coarse() const { return coarse_; }
  const Bitmap& fine() const { return fine_; }

  // What is stored under `weak` (in the index the filter was made from), or null when nothing
  // is: exact membership.
  const Stored* Find(uint32_t weak) const {
    for (size_t s = Slot(weak);; s = (s + 1) & slotMask_) {
      if (slots_[s] == weak) return &stored_[slotStored_[s]];
      if (slots_[s] == kEmpty) return nullptr;
    }
  }
  bool Contains(uint32_t weak) const { return Find(weak) != nullptr; }

 private:
  size_t Slot(uint32_t weak) const {
    uint32_t x = weak;  // the finaliser of MurmurHash3: every input bit moves every output bit
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x & slotMask_;
  }

  Bitmap coarse_{0xCC9E2D51u, 0x1B873593u, 4, 26, {}};
  Bitmap fine_{0xC2B2AE35u, 0x27D4EB2Fu, 2, 26, {}};
  std::vector<uint32_t> slots_;
  std::vector<uint32_t> slotStored_;  // beside slots_: where in stored_
  std::vector<Stored> stored_;
  size_t slotMask_ = 0;
};

}  // namespace plumet
