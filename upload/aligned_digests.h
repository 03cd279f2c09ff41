#pragma once
// The weak checksum and MD5 of the local file's blocks at multiples of B, computed on a helper
// thread while the upload waits for the server's checksum list: the server spends that time
// describing its stored copy, and the client's other processor would sit idle. After a small edit
// most matches lie at those offsets, so the scan then finds most of its MD5s done. The values are
// exactly those the scan would compute; only when they are computed differs.
//
// The list usually arrives before the helper is through, and the scan then cuts the file into
// pieces scanned at once (upload/split_scan.h). Summed from the front, the blocks done would all
// lie in the first pieces and the last ones would compute every MD5 themselves, so the scan would
// wait for them alone. The helper is therefore started with the scan's pieces as its stripes and
// takes its steps round-robin across them: whenever it is stopped, every piece has about the same
// share done.
//
// The file is read with positioned reads of its own descriptor, never mapped, so a writer that
// truncates it meanwhile only ends the helper early. Content changed between these reads and the
// scan could name a block the file no longer holds; so could any change after the file was
// hashed, and the server refuses a rebuilt file whose SHA-1 is not the registered one.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "upload/digests.h"

namespace plumet {

class AlignedDigests {
 public:
  struct Block {
    uint32_t weak;
    Md5 digest;
  };

  // The helper reads whole blocks, about this many bytes at a step.
  static constexpr uint64_t kStepBytes = 1u << 20;

  AlignedDigests() = default;
  ~AlignedDigests() { Stop(); }
  AlignedDigests(const AlignedDigests&) = delete;
  AlignedDigests& operator=(const AlignedDigests&) = delete;

  // Starts the helper over the full blocks of `file` (which must stay open until Stop), `size`
  // bytes long, at block size B, spread over `stripes` equal ranges of those blocks (stripe j:
  // blocks [n*j/stripes, n*(j+1)/stripes) of n). Whatever was computed before is dropped. Without
  // a thread to be had, or for blocks too large to be worth it, nothing is computed.
  void Start(const platform::File& file, uint64_t size, uint32_t B, unsigned stripes = 1);

  // Stops the helper and waits for it; what it computed stays available.
  void Stop();
  // Whether a helper started with block size B over `stripes` stripes has not been stopped
  // early: it runs, or it has summed every block it could.
  bool StartedWith(uint32_t B, unsigned stripes) const {
    return B != 0 && B == blockSize_ && stripes == requested_ &&
           !cancel_.load(std::memory_order_relaxed);
  }
  // Waits for the helper to have summed every block (or to have met the end of the file).
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

  // Tests: later helpers take steps of `blocks` blocks (0: about kStepBytes) and, after `steps`
  // of them (0: no limit), stop as though Stop had been called then.
  void SetPace(uint64_t blocks, uint64_t steps) {
    paceBlocks_ = blocks;
    paceSteps_ = steps;
  }

  // The block at `offset` when B is the block size it was started with, offset is a multiple of
  // it, and the helper had computed it by the last Stop (or by now, while it runs); else null.
  const Block* At(uint64_t offset, uint32_t B) const {
    if (B != blockSize_ || B == 0 || offset % B != 0) return nullptr;
    const uint64_t k = offset / B;
    if (k >= blocks_.size()) return nullptr;
    // The stripe holding k: the last one that starts at or before it.
    const Stripe* s = std::upper_bound(stripes_.get(), stripes_.get() + stripeCount_, k,
                                       [](uint64_t v, const Stripe& t) { return v < t.first; }) -
                      1;
    return k < s->done.load(std::memory_order_acquire) ? &blocks_[k] : nullptr;
  }

 private:
  struct Stripe {
    uint64_t first = 0;  // its blocks are [first, end)
    uint64_t end = 0;
    std::atomic<uint64_t> done{0};  // blocks [first, done) are summed; each written before
  };

  void Run(const platform::File& file);

  std::vector<Block> blocks_;  // blocks_[k] is written once, before its stripe's done passes k
  std::unique_ptr<Stripe[]> stripes_;  // set before the helper starts, read-only while it runs
  unsigned stripeCount_ = 0;
  unsigned requested_ = 0;  // the stripe count asked for (more than there are blocks: fewer)
  std::atomic<bool> cancel_{false};
  uint32_t blockSize_ = 0;
  uint64_t paceBlocks_ = 0;
  uint64_t paceSteps_ = 0;
  std::thread thread_;
};

}  // namespace plumet
