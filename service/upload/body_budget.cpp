#include "service/upload/body_budget.h"

namespace zelmic {

bool BodyBudget::Take(int64_t user, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t& mine = by_user_[user];
  if (held_ + bytes > total_ || mine + bytes > per_user_) {
    if (mine == 0) by_user_.erase(user);
    return false;
  }
  mine += bytes;
  held_ += bytes;
  return true;
}

void BodyBudget::Give(int64_t user, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = by_user_.find(user);
  if (it == by_user_.end()) return;
  const uint64_t given = bytes < it->second ? bytes : it->second;
  it->second -= given;
  held_ -= given;
  if (it->second == 0) by_user_.erase(it);
}

uint64_t BodyBudget::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

}  // namespace zelmic
