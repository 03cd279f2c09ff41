#pragma once
// The greedy scan of the block delta over one stretch of the local file. From position p:
// compare the window [p, p + B) with the stored blocks (weak checksum, then MD5); a match is
// recorded and the scan goes on at p + B, a miss at p + 1. Windows are compared while
// p + B < S, so a window ending exactly at the end of the file is never compared.
//
// What the scan does from a position depends on that position alone (and, for the rule that
// gives up on a file with no match, on whether anything matched before). This is what lets two
// scans of different stretches be joined where their positions meet.

#include <cstdint>
#include <functional>
#include <vector>

#include "upload/aligned_digests.h"
#include "upload/block_delta.h"
#include "upload/digests.h"
#include "upload/roll_path.h"
#include "upload/rolling_adler.h"
#include "upload/weak_filter.h"

namespace plumet {

// What every scan of one file shares; read-only while scans run (several threads may share it).
struct ScanInput {
  const unsigned char* data = nullptr;  // the whole local file
  uint64_t size = 0;                    // S, larger than B
  uint32_t blockSize = 0;               // B
  const CBlockDelta::BlockIndex* index = nullptr;
  const WeakFilter* filter = nullptr;
  RollPath roll = RollPath::kScalar;        // the loop that rolls (one RollPathSupported() allows)
  const AlignedDigests* aligned = nullptr;  // checksums of blocks at multiples of B, if known

  // Windows start below this offset (S - B).
  uint64_t end() const { return size - blockSize; }
};

class BlockScan {
 public:
  enum class Stop {
    kTarget,       // p reached the target (p >= target, p < end): the window at p is not compared
    kEnd,          // no window is left to compare (p >= end)
    kAbandoned,    // nothing matched and the scan passed the offset it may give up after
    kInterrupted,  // the poll asked to stop
  };

  // Called with an offset the scan is about to read up to, at least once per MiB scanned and
  // before the first window; returning true interrupts the scan.
  using Poll = std::function<bool(uint64_t readingUpTo)>;

  BlockScan(const ScanInput& input, Poll poll);

  // Scans from the window at `p` while p < target and p < end, appending each match to `matches`
  // and leaving `p` at the next window to compare. A window at an offset above `abandonAfter`
  // found with `matches` still empty ends the scan with kAbandoned instead of being compared.
  Stop Run(uint64_t& p, uint64_t target, uint64_t abandonAfter, std::vector<BlockMatch>& matches);

 private:
  // The match for the window at p (weak checksum `weak`), or -1.
  int32_t Compare(uint64_t p, uint32_t weak);
  // The MD5 of the window at p, from the aligned sums, from the windows hashed ahead, or hashed
  // now together with the windows that follow it at steps of B.
  Md5 WindowDigest(uint64_t p);

  // A match is mostly followed by another B further on: the windows of a stretch are hashed
  // several at a time, side by side. The batch doubles while the stretch goes on and falls back
  // to one window when it ends, so an isolated weak hit costs what it did.
  static constexpr uint32_t kMostAhead = 16;

  const ScanInput input_;
  const Poll poll_;
  RollingAdler rolling_;
  Md5 ahead_[kMostAhead];
  uint64_t aheadFrom_ = 0;  // ahead_[j] is the window at aheadFrom_ + j * B, for j < aheadCount_
  uint32_t aheadCount_ = 0;
  uint32_t aheadUsed_ = 0;  // how many of them the scan asked for
  uint32_t nextBatch_ = 1;
};

}  // namespace plumet
