#pragma once
// An auto-reset event: Set wakes one waiter, or is kept until the next Wait if nobody waits yet,
// and every successful Wait consumes the signal. Tasks signal it when their thread is done, so an
// owner can wait for a worker without polling.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class AutoResetEvent {
 public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set() {
    // Notify while holding the mutex: a waiter that returns may destroy the event at once.
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    cond_.notify_one();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

  // False when the timeout passed without a signal.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, timeout, [this] { return signalled_; })) return false;
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_ = false;
};

}  // namespace platform
