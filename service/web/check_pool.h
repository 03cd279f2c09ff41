#pragma once
// A few threads of their own for slow checks (password derivations), so that a listener's threads
// go back to serving while one runs. The queue is bounded: past it a check is refused at once.
// Close runs what is queued, and what was reserved, to its end: every job taken is finished.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zelmic {

class CheckPool {
 public:
  CheckPool(unsigned threads, size_t max_queued) : threads_(threads), max_queued_(max_queued) {}
  ~CheckPool() { Close(); }
  CheckPool(const CheckPool&) = delete;
  CheckPool& operator=(const CheckPool&) = delete;

  void Open();
  // Refuses further jobs, lets the threads finish the queue and waits for them.
  void Close();
  // Takes a place in the queue for a job still to come; false when the pool is closed or full.
  // A place taken is always run, even when the pool closes before the job is given.
  bool Reserve();
  // Queues the job of a place taken by Reserve.
  void Submit(std::function<void()> job);
  // Waits up to period, less once the pool is closing: a job's deliberate pause never holds up
  // a stop.
  void Pause(std::chrono::milliseconds period);

 private:
  void Run();

  const unsigned threads_;
  const size_t max_queued_;
  std::mutex mutex_;
  std::condition_variable wake_;     // a job is queued, or the pool closes
  std::condition_variable closing_;  // the pool closes
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> workers_;
  size_t reserved_ = 0;  // places taken, jobs not yet given
  bool open_ = false;
};

}  // namespace zelmic
