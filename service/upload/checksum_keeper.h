#pragma once
// The checksum lists of stored contents, kept on disk once computed. A list depends only on the
// content and its block size, and contents never change, so a list computed once serves every
// later delta built on that content. Lists of contents that an edit is likely to start from are
// computed ahead, on a thread of low priority, so the edit's "/download_checksum" finds them ready.
//
// Kept lists live in DIR/sums/ab/<sha1>-<block size>: a header (magic, block size, block count),
// the list as served, and a CRC-32 of both. They are derived data: a file that does not check out
// is computed again and replaced, and the whole folder may be deleted at any time.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "service/store/status.h"
#include "service/store/upload_backend.h"

namespace zelmic {

class ChecksumKeeper {
 public:
  // Below this size a list takes milliseconds to compute on demand: not worth a kept file ahead.
  static constexpr uint64_t kDefaultPrepareFrom = 8ull << 20;
  // Contents waiting for the background thread; beyond that, preparing is skipped.
  static constexpr size_t kMaxQueued = 32;

  explicit ChecksumKeeper(std::string data_dir, uint64_t prepare_from = kDefaultPrepareFrom);
  // Stops the background work, abandoning the list under way, and waits for its thread.
  ~ChecksumKeeper();
  ChecksumKeeper(const ChecksumKeeper&) = delete;
  ChecksumKeeper& operator=(const ChecksumKeeper&) = delete;

  // The checksum list of the first block_count blocks of c: the kept one when its file checks
  // out, else the one being computed in the background once it is done, else computed now and
  // kept. Fails (a plain Status::Error saying why) only when the content cannot be read.
  Status List(const StoredContent& c, uint32_t block_size, uint64_t block_count, std::string& list);

  // Computes the list of c (at the block size its size gets) in the background, unless it is kept
  // already, on its way, small, or the queue is full.
  void Prepare(const StoredContent& c);

  // How many lists were computed from their contents (not read from kept files) so far.
  uint64_t computations() const { return computations_.load(); }

  // Where the list of content `filehash` at block_size is kept; empty for a malformed hash.
  std::string KeptPath(const std::string& filehash, uint32_t block_size) const;

 private:
  struct Job {
    StoredContent content;
    uint32_t block_size = 0;
    uint64_t block_count = 0;
    std::string key;
  };

  void Work();
  // Computes the list and keeps it; cancel ends it early.
  Status ComputeAndKeep(const StoredContent& c, uint32_t block_size, uint64_t block_count,
                        const std::string& path, std::string& list,
                        const std::atomic<bool>* cancel);

  const std::string dir_;
  const uint64_t prepare_from_;
  std::atomic<uint64_t> computations_{0};
  std::atomic<bool> stop_{false};

  std::mutex mutex_;
  std::condition_variable work_ready_;  // a job was queued, or stop_
  std::condition_variable done_;        // a computation ended (busy_ lost a key)
  std::deque<Job> queue_;
  std::set<std::string> busy_;  // keys being computed, by the background thread or a List
  std::thread worker_;
};

}  // namespace zelmic
