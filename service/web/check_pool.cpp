#include "service/web/check_pool.h"

#include <utility>

namespace zelmic {

void CheckPool::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_) return;
  open_ = true;
  for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back(&CheckPool::Run, this);
}

void CheckPool::Close() {
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    workers.swap(workers_);
  }
  wake_.notify_all();
  closing_.notify_all();
  for (auto& worker : workers) worker.join();
}

bool CheckPool::Reserve() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!open_ || queue_.size() + reserved_ >= max_queued_) return false;
  ++reserved_;
  return true;
}

void CheckPool::Submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    queue_.push_back(std::move(job));
  }
  wake_.notify_all();
}

void CheckPool::Pause(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_.wait_for(lock, period, [this] { return !open_; });
}

void CheckPool::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return !queue_.empty() || (!open_ && reserved_ == 0); });
    if (queue_.empty()) return;  // closed, nothing left and nothing to come
    std::function<void()> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace zelmic
