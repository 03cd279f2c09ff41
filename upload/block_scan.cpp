#include "upload/block_scan.h"

#include <algorithm>
#include <utility>

#include "common/md5_lanes.h"
#include "upload/rolling_scan.h"
#include "upload/window_adler.h"

namespace plumet {

namespace {

// The scan checks in with its poll once per this many bytes.
constexpr uint64_t kSegment = 1u << 20;

}  // namespace

BlockScan::BlockScan(const ScanInput& input, Poll poll)
    : input_(input), poll_(std::move(poll)), rolling_(input.blockSize) {}

int32_t BlockScan::Compare(uint64_t p, uint32_t weak) {
  if (!input_.filter->MayContain(weak)) return -1;
  const WeakFilter::Stored* stored = input_.filter->Find(weak);
  if (stored == nullptr) return -1;
  const Md5 digest = WindowDigest(p);
  if (stored->all == nullptr) return digest == stored->digest ? stored->block : -1;
  const auto it = stored->all->find(DigestBytes(digest));
  return it == stored->all->end() ? -1 : it->second;
}

Md5 BlockScan::WindowDigest(uint64_t p) {
  const uint32_t B = input_.blockSize;
  const AlignedDigests::Block* known =
      input_.aligned != nullptr ? input_.aligned->At(p, B) : nullptr;
  if (known != nullptr) return known->digest;
  if (p >= aheadFrom_ && (p - aheadFrom_) % B == 0 && (p - aheadFrom_) / B < aheadCount_) {
    const auto j = static_cast<uint32_t>((p - aheadFrom_) / B);
    aheadUsed_ = std::max(aheadUsed_, j + 1);
    return ahead_[j];
  }
  // A new batch: twice the last one when the scan used all of it, else one window again.
  nextBatch_ =
      aheadCount_ != 0 && aheadUsed_ == aheadCount_ ? std::min(2 * aheadCount_, kMostAhead) : 1;
  const uint64_t windows = (input_.end() - p - 1) / B + 1;  // those at p + jB below end()
  const auto count = static_cast<uint32_t>(std::min<uint64_t>(nextBatch_, windows));
  const unsigned char* starts[kMostAhead];
  size_t lengths[kMostAhead];
  for (uint32_t j = 0; j < count; ++j) {
    starts[j] = input_.data + p + uint64_t{j} * B;
    lengths[j] = B;
  }
  if (!plumet_common::Md5Many(starts, lengths, count, ahead_)) {
    // OpenSSL refused: a digest no stored block has, so nothing false is matched.
    aheadCount_ = 0;
    return Md5{};
  }
  aheadFrom_ = p;
  aheadCount_ = count;
  aheadUsed_ = 1;
  return ahead_[0];
}

BlockScan::Stop BlockScan::Run(uint64_t& p, uint64_t target, uint64_t abandonAfter,
                               std::vector<BlockMatch>& matches) {
  const unsigned char* d = input_.data;
  const uint32_t B = input_.blockSize;
  const uint64_t end = input_.end();
  const uint64_t stopAt = std::min(target, end);
  const RollLoop roll = RollLoopFor(input_.roll);
  uint64_t nextPoll = p;
  while (p < stopAt) {
    if (p > abandonAfter && matches.empty()) return Stop::kAbandoned;
    if (p >= nextPoll) {
      if (poll_(p + B)) return Stop::kInterrupted;
      nextPoll = p + kSegment;
    }
    // Full weak checksum of the window at p: at the start and after each match.
    const AlignedDigests::Block* known =
        input_.aligned != nullptr ? input_.aligned->At(p, B) : nullptr;
    rolling_.Reset(known != nullptr ? known->weak : WindowAdler(d + p, B));
    for (;;) {
      const int32_t block = Compare(p, rolling_.value());
      if (block >= 0) {
        matches.push_back(BlockMatch{p, static_cast<uint16_t>(block)});
        p += B;
        break;
      }
      // A miss: roll on by one byte at a time until the filter may know a window. With no match
      // yet, the scan gives up at the first window past abandonAfter.
      const bool mayAbandon = matches.empty() && abandonAfter < stopAt - 1;
      const uint64_t stop = mayAbandon ? abandonAfter + 1 : stopAt;
      uint64_t q = p;
      bool hit = false;
      while (!hit && q + 1 < stop) {
        if (q >= nextPoll) {
          if (poll_(q + B)) return Stop::kInterrupted;
          nextPoll = q + kSegment;
        }
        const uint64_t segmentEnd = stop - q > kSegment ? q + kSegment : stop;
        q = roll(d, q, segmentEnd, B, rolling_, *input_.filter);
        hit = q < segmentEnd;
        if (!hit) --q;  // windows up to segmentEnd - 1 are done; go on from the last of them
      }
      if (!hit) {
        p = stop;
        if (p < stopAt) return Stop::kAbandoned;  // p is abandonAfter + 1, matches still empty
        return p >= end ? Stop::kEnd : Stop::kTarget;
      }
      p = q;
    }
  }
  return p >= end ? Stop::kEnd : Stop::kTarget;
}

}  // namespace plumet
