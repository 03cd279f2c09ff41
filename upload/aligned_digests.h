#pragma once
// The weak checksum and MD5 of the local file's blocks at multiples of B, computed on a helper
// thread while the upload waits for the server's checksum list: the server spends that time
// describing its stored copy, and the client's other processor would sit idle. After a small edit
// most matches lie at those offsets, so the scan then finds most of its MD5s done. The values are
// exactly those the scan would compute; only when they are computed differs.
//
// The file is read with positioned reads of its own descriptor, never mapped, so a writer that
// truncates it meanwhile only ends the helper early. Content changed between these reads and the
// scan could name a block the file no longer holds; so could any change after the file was
// hashed, and the server refuses a rebuilt file whose SHA-1 is not the registered one.

#include <atomic>
#include <cstdint>
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

  AlignedDigests() = default;
  ~AlignedDigests() { Stop(); }
  AlignedDigests(const AlignedDigests&) = delete;
  AlignedDigests& operator=(const AlignedDigests&) = delete;

  // Starts the helper over the full blocks of `file` (which must stay open until Stop), `size`
  // bytes long, at block size B. Whatever was computed before is dropped. Without a thread to be
  // had, or for blocks too large to be worth it, nothing is computed.
  void Start(const platform::File& file, uint64_t size, uint32_t B);

  // Stops the helper and waits for it; what it computed stays available.
  void Stop();
  // Whether a helper started with block size B has not been stopped early: it runs, or it has
  // summed every block it could.
  bool StartedWith(uint32_t B) const {
    return B != 0 && B == blockSize_ && !cancel_.load(std::memory_order_relaxed);
  }
  // Waits for the helper to have summed every block (or to have met the end of the file).
  void Wait() {
    if (thread_.joinable()) thread_.join();
  }

  // The block at `offset` when B is the block size it was started with, offset is a multiple of
  // it, and the helper had computed it by the last Stop (or by now, while it runs); else null.
  const Block* At(uint64_t offset, uint32_t B) const {
    if (B != blockSize_ || B == 0 || offset % B != 0) return nullptr;
    const uint64_t k = offset / B;
    return k < done_.load(std::memory_order_acquire) ? &blocks_[k] : nullptr;
  }

 private:
  void Run(const platform::File& file);

  std::vector<Block> blocks_;   // blocks_[k] is written once, before done_ passes k
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> cancel_{false};
  uint32_t blockSize_ = 0;
  std::thread thread_;
};

}  // namespace plumet
