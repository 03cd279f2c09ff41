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

// The second half, scanned on a helper thread. With nothing matched by the window past
// `abandonAfter`, the helper pauses there until told whether the first half matched anything:
// if not, the whole scan gives up at that window and the rest of the half is never needed.
// Destroying the object stops the helper (at its next poll, or in its pause) and waits for it.
class HalfScan {
 public:
  enum class State {
    kRunning,
    kPaused,  // nothing matched up to abandonAfter + 1; waits for Resume() or the end
    kDone,    // scanned to the end (ok()) or failed
  };

  HalfScan(const ScanInput& input, uint64_t from, uint64_t abandonAfter,
           const platform::MappedView& view)
      : input_(input), from_(from), abandonAfter_(abandonAfter), view_(view) {
    thread_ = std::thread([this] { Run(); });
  }
  ~HalfScan() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancel_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
    thread_.join();
  }
  HalfScan(const HalfScan&) = delete;
  HalfScan& operator=(const HalfScan&) = delete;

  uint64_t from() const { return from_; }

  // Waits up to `timeout` for the helper to pause (unless told to go on) or finish.
  State Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return Settled(); });
    return Settled() ? state_ : State::kRunning;
  }
  // The helper goes on to the end of its half after pausing (or at once, should it reach the
  // pause later).
  void Resume() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      resume_ = true;
    }
    changed_.notify_all();
  }
  // Once Wait returned kDone: whether the helper scanned its half to the end (it may have run
  // out of memory instead), and the matches it found, in order.
  bool ok() const { return ok_; }
  const std::vector<BlockMatch>& matches() const { return matches_; }

 private:
  bool Settled() const { return state_ == State::kDone || (state_ == State::kPaused && !resume_); }

  void Run() {
    bool ok = false;
    try {
      platform::ViewReadAhead ahead(view_, from_);
      BlockScan scan(input_, [this, &ahead](uint64_t upTo) {
        if (cancel_.load(std::memory_order_relaxed)) return true;
        ahead.At(upTo);
        return false;
      });
      uint64_t p = from_;
      BlockScan::Stop stop = scan.Run(p, input_.end(), abandonAfter_, matches_);
      if (stop == BlockScan::Stop::kAbandoned) {
        std::unique_lock<std::mutex> lock(mutex_);
        state_ = State::kPaused;
        changed_.notify_all();
        changed_.wait(lock, [this] { return resume_ || cancel_.load(std::memory_order_relaxed); });
        if (resume_) {
          lock.unlock();
          stop = scan.Run(p, input_.end(), UINT64_MAX, matches_);
        }
      }
      ok = stop == BlockScan::Stop::kEnd;
    } catch (const std::exception&) {
      ok = false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ok_ = ok;
      state_ = State::kDone;
    }
    changed_.notify_all();
  }

  const ScanInput input_;
  const uint64_t from_;
  const uint64_t abandonAfter_;
  const platform::MappedView& view_;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kRunning;  // guarded by mutex_, like resume_ and ok_
  bool resume_ = false;
  bool ok_ = false;
  std::vector<BlockMatch> matches_;  // the helper's until kDone, then read-only
  std::thread thread_;  // last: starts after everything it uses exists
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

BlockScan::Stop ScanFile(const ScanInput& input, uint64_t abandonAfter, uint64_t splitMinSize,
                         const BlockScan::Poll& poll, const platform::MappedView& view,
                         std::vector<BlockMatch>& matches) {
  using Stop = BlockScan::Stop;
  const uint64_t end = input.end();
  const uint64_t half = input.size / 2;
  std::unique_ptr<HalfScan> helper;
  if (input.size >= splitMinSize && half > 0 && half < end &&
      std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::make_unique<HalfScan>(input, half, abandonAfter, view);
    } catch (const std::exception&) {
      helper.reset();  // no thread to be had: one scan does it all
    }
  }

  // As soon as the first half has matched something, the helper will need the whole of its
  // half whatever it finds: it is told so at once rather than pausing for nothing.
  bool resumed = false;
  BlockScan scan(input, [&](uint64_t upTo) {
    if (helper && !resumed && !matches.empty()) {
      helper->Resume();
      resumed = true;
    }
    return poll(upTo);
  });
  uint64_t p = 0;
  Stop stop = scan.Run(p, helper ? helper->from() : end, abandonAfter, matches);
  if (stop != Stop::kTarget) return stop;  // done (the helper is stopped), or given up

  // In the helper's half. Its result is needed now; the caller's poll stays in charge meanwhile.
  for (;;) {
    const HalfScan::State state = helper->Wait(std::chrono::milliseconds(20));
    if (state == HalfScan::State::kDone) break;
    if (state == HalfScan::State::kRunning) {
      if (poll(p)) return Stop::kInterrupted;
    } else if (matches.empty()) {
      // Paused: nothing matched from the middle (p, with nothing matched before it either) up to
      // abandonAfter + 1, where the single scan gives up too.
      return Stop::kAbandoned;
    } else {
      helper->Resume();
    }
  }
  if (!helper->ok()) return scan.Run(p, end, abandonAfter, matches);
  const std::vector<BlockMatch>& theirs = helper->matches();
  // Inside a block the helper matched: this scan takes its own way until it meets the helper's.
  while (stop == Stop::kTarget) {
    const BlockMatch* m = Covering(theirs, p, input.blockSize);
    if (m == nullptr) break;
    stop = scan.Run(p, static_cast<uint64_t>(m->offset) + input.blockSize, abandonAfter, matches);
  }
  if (stop != Stop::kTarget) return stop;

  // From p on both paths are one. The helper compared every window from p up to its next match
  // (or to the end): with nothing matched so far, those include any past abandonAfter.
  const auto next = std::lower_bound(
      theirs.begin(), theirs.end(), p,
      [](const BlockMatch& m, uint64_t value) { return static_cast<uint64_t>(m.offset) < value; });
  if (matches.empty() && abandonAfter < UINT64_MAX) {
    const uint64_t lastCompared = next == theirs.end() ? end - 1 : next->offset;
    if (std::max(p, abandonAfter + 1) <= lastCompared) return Stop::kAbandoned;
  }
  matches.insert(matches.end(), next, theirs.end());
  return Stop::kEnd;
}

}  // namespace plumet
