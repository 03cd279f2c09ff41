#include "service/web/login_throttle.h"

#include <algorithm>

namespace zelmic {

LoginThrottle::Clock::duration LoginThrottle::Wait(const std::vector<std::string>& keys,
                                                   Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Clock::duration wait{0};
  for (const auto& key : keys) {
    auto it = entries_.find(key);
    if (it != entries_.end() && it->second.until > now)
      wait = std::max(wait, it->second.until - now);
  }
  return wait;
}

void LoginThrottle::Failed(const std::vector<std::string>& keys, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& key : keys) {
    auto it = entries_.find(key);
    if (it != entries_.end() && now - it->second.last >= kForgetAfter) it->second = Entry{};
    if (it == entries_.end()) {
      MakeRoomLocked(now);
      it = entries_.emplace(key, Entry{}).first;
    }
    Entry& entry = it->second;
    entry.last = now;
    if (++entry.failures < kFreeFailures) continue;
    // The window doubles per failure past the free ones; the shift stops well before overflow.
    const unsigned doublings = std::min(entry.failures - kFreeFailures, 16U);
    entry.until = now + std::min<Clock::duration>(kFirstLock * (1 << doublings), kMaxLock);
  }
}

void LoginThrottle::Succeeded(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(key);
}

size_t LoginThrottle::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void LoginThrottle::MakeRoomLocked(Clock::time_point now) {
  if (entries_.size() < kMaxKeys) return;
  for (auto it = entries_.begin(); it != entries_.end();)
    it = now - it->second.last >= kForgetAfter ? entries_.erase(it) : std::next(it);
  if (entries_.size() < kMaxKeys) return;
  // Still full: the key that failed longest ago goes, a locked one only when all are locked.
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    const bool locked = it->second.until > now;
    if (oldest == entries_.end() || (oldest->second.until > now && !locked) ||
        ((oldest->second.until > now) == locked && it->second.last < oldest->second.last))
      oldest = it;
  }
  entries_.erase(oldest);
}

}  // namespace zelmic
