#include "upload/split_scan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace plumet {

namespace {

// One piece after the first, scanned on a helper thread from `from` until its position reaches
// `to`. With nothing matched by the window past `abandonAfter`, the helper pauses there until
// told whether anything before the piece matched: if not, the whole scan gives up at that window
// and the rest of the piece is never needed. Cancel() (or destruction) stops the helper at its
// next poll, or in its pause.
class PieceScan {
 public:
  enum class State {
    kRunning,
    kPaused,  // nothing matched up to abandonAfter + 1; waits for Resume() or the end
    kDone,    // scanned to `to` (ok()) or failed
  };

  PieceScan(const ScanInput& input, uint64_t from, uint64_t to, uint64_t abandonAfter,
            const platform::MappedView& view)
      : input_(input), from_(from), to_(to), abandonAfter_(abandonAfter), view_(view) {
    thread_ = std::thread([this] { Run(); });
  }
  ~PieceScan() {
    Cancel();
    thread_.join();
  }
  PieceScan(const PieceScan&) = delete;
  PieceScan& operator=(const PieceScan&) = delete;

  uint64_t from() const { return from_; }

  void Cancel() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancel_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
  }

  // Waits up to `timeout` for the helper to pause (unless told to go on) or finish.
  State Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return Settled(); });
    return Settled() ? state_ : State::kRunning;
  }
  // The helper goes on to the end of its piece after pausing (or at once, should it reach the
  // pause later).
  void Resume() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      resume_ = true;
    }
    changed_.notify_all();
  }
  // Once Wait returned kDone: whether the helper scanned its piece (it may have run out of
  // memory instead), the matches it found, in order, and the position its scan stopped at.
  bool ok() const { return ok_; }
  const std::vector<BlockMatch>& matches() const { return matches_; }
  uint64_t reached() const { return reached_; }

 private:
  bool Settled() const { return state_ == State::kDone || (state_ == State::kPaused && !resume_); }

  void Run() {
    bool ok = false;
    uint64_t p = from_;
    try {
      platform::ViewReadAhead ahead(view_, from_);
      BlockScan scan(input_, [this, &ahead](uint64_t upTo) {
        if (cancel_.load(std::memory_order_relaxed)) return true;
        ahead.At(upTo);
        return false;
      });
      BlockScan::Stop stop = scan.Run(p, to_, abandonAfter_, matches_);
      if (stop == BlockScan::Stop::kAbandoned) {
        std::unique_lock<std::mutex> lock(mutex_);
        state_ = State::kPaused;
        changed_.notify_all();
        changed_.wait(lock, [this] { return resume_ || cancel_.load(std::memory_order_relaxed); });
        if (resume_ && !cancel_.load(std::memory_order_relaxed)) {
          lock.unlock();
          stop = scan.Run(p, to_, UINT64_MAX, matches_);
        }
      }
      ok = stop == BlockScan::Stop::kEnd || stop == BlockScan::Stop::kTarget;
    } catch (const std::exception&) {
      ok = false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ok_ = ok;
      reached_ = p;
      state_ = State::kDone;
    }
    changed_.notify_all();
  }

  const ScanInput input_;
  const uint64_t from_;
  const uint64_t to_;
  const uint64_t abandonAfter_;
  const platform::MappedView& view_;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kRunning;  // guarded by mutex_, like resume_, ok_ and reached_
  bool resume_ = false;
  bool ok_ = false;
  uint64_t reached_ = 0;
  std::vector<BlockMatch> matches_;  // the helper's until kDone, then read-only
  std::thread thread_;               // last: starts after everything it uses exists
};

// The helpers of one scan; all are told to stop before any is waited for.
class Pieces {
 public:
  ~Pieces() {
    for (auto& piece : pieces_) piece->Cancel();
  }
  std::vector<std::unique_ptr<PieceScan>>& list() { return pieces_; }
  void ResumeFrom(size_t k) {
    for (size_t j = k; j < pieces_.size(); ++j) pieces_[j]->Resume();
  }

 private:
  std::vector<std::unique_ptr<PieceScan>> pieces_;
};

// The first of `matches` whose block holds p strictly inside (offset < p < offset + B), or null.
const BlockMatch* Covering(const std::vector<BlockMatch>& matches, uint64_t p, uint32_t B) {
  const auto after = std::upper_bound(
      matches.begin(), matches.end(), p,
      [](uint64_t value, const BlockMatch& m) { return value < static_cast<uint64_t>(m.offset); });
  if (after == matches.begin()) return nullptr;
  const BlockMatch& m = *(after - 1);
  const uint64_t offset = m.offset;
  return offset < p && p < offset + B ? &m : nullptr;
}

}  // namespace

unsigned ScanPieceCount(uint64_t size, uint32_t blockSize, ScanSplit split) {
  if (size < split.minSize || blockSize == 0) return 1;
  uint64_t n = split.pieces != 0 ? split.pieces : 2 * uint64_t{std::thread::hardware_concurrency()};
  // Every piece starts at a window well before the end.
  n = std::min<uint64_t>(n, size / (2 * uint64_t{blockSize}));
  return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

BlockScan::Stop ScanFile(const ScanInput& input, uint64_t abandonAfter, ScanSplit split,
                         const BlockScan::Poll& poll, const platform::MappedView& view,
                         std::vector<BlockMatch>& matches) {
  using Stop = BlockScan::Stop;
  const uint64_t end = input.end();
  const uint32_t B = input.blockSize;
  const unsigned count = ScanPieceCount(input.size, B, split);
  Pieces pieces;
  auto& helpers = pieces.list();
  for (unsigned k = 1; k < count; ++k) {
    const uint64_t from = input.size * k / count;
    const uint64_t to = k + 1 == count ? end : input.size * (k + 1) / count;
    try {
      helpers.push_back(std::make_unique<PieceScan>(input, from, to, abandonAfter, view));
    } catch (const std::exception&) {
      break;  // no more threads to be had: the last piece started reaches to the end instead
    }
  }
  // Which helpers exist decides where each piece ends: re-cut if one could not be started.
  if (helpers.size() + 1 != count) {
    helpers.clear();
  }

  // As soon as anything matched, every piece will be needed to its end whatever it finds: they
  // are told so at once rather than pausing for nothing.
  bool resumed = false;
  BlockScan scan(input, [&](uint64_t upTo) {
    if (!resumed && !matches.empty()) {
      pieces.ResumeFrom(0);
      resumed = true;
    }
    return poll(upTo);
  });
  uint64_t p = 0;
  Stop stop = scan.Run(p, helpers.empty() ? end : helpers[0]->from(), abandonAfter, matches);
  if (stop != Stop::kTarget) return stop;  // done (the helpers are stopped), or given up

  for (size_t k = 0; k < helpers.size(); ++k) {
    PieceScan& piece = *helpers[k];
    // The piece's result is needed now; the caller's poll stays in charge meanwhile.
    for (;;) {
      const PieceScan::State state = piece.Wait(std::chrono::milliseconds(20));
      if (state == PieceScan::State::kDone) break;
      if (state == PieceScan::State::kRunning) {
        if (poll(p)) return Stop::kInterrupted;
      } else if (matches.empty()) {
        // Paused: nothing matched from p (within the piece, with nothing matched before it
        // either, so at most abandonAfter + 1) up to abandonAfter + 1, where one scan gives up.
        return Stop::kAbandoned;
      } else {
        pieces.ResumeFrom(k);
      }
    }
    if (!piece.ok()) return scan.Run(p, end, abandonAfter, matches);
    const std::vector<BlockMatch>& theirs = piece.matches();
    const uint64_t reached = piece.reached();
    // Inside a block the piece matched: this scan takes its own way until it meets the piece's.
    while (p < reached) {
      const BlockMatch* m = Covering(theirs, p, B);
      if (m == nullptr) break;
      stop = scan.Run(p, static_cast<uint64_t>(m->offset) + B, abandonAfter, matches);
      if (stop != Stop::kTarget) return stop;
    }
    if (p >= reached) continue;  // past the piece's path altogether

    // From p on both paths are one up to where the piece stopped. The piece compared every
    // window from p up to its next match (or to where it stopped): with nothing matched so far,
    // those include any past abandonAfter.
    const auto next =
        std::lower_bound(theirs.begin(), theirs.end(), p, [](const BlockMatch& m, uint64_t value) {
          return static_cast<uint64_t>(m.offset) < value;
        });
    if (matches.empty() && abandonAfter < UINT64_MAX) {
      const uint64_t lastCompared = next == theirs.end() ? reached - 1 : next->offset;
      if (std::max(p, abandonAfter + 1) <= lastCompared) return Stop::kAbandoned;
    }
    matches.insert(matches.end(), next, theirs.end());
    if (!matches.empty()) pieces.ResumeFrom(k + 1);
    p = reached;
  }
  if (p < end) return scan.Run(p, end, abandonAfter, matches);
  return Stop::kEnd;
}

}  // namespace plumet
