#pragma once
// The memory that request bodies held by the upload server may take: one limit for all users
// together and a share for each user, taken as the bytes arrive. A connection that announces a
// large part and sends it slowly holds only what it sent, and only from its own user's share, so
// it can keep nobody else's part waiting.

#include <cstdint>
#include <map>
#include <mutex>

namespace zelmic {

class BodyBudget {
 public:
  BodyBudget(uint64_t total, uint64_t per_user) : total_(total), per_user_(per_user) {}

  // Takes bytes for the user; false (and nothing taken) when the user's share or the total
  // would go over.
  bool Take(int64_t user, uint64_t bytes);
  // Gives back bytes the user took.
  void Give(int64_t user, uint64_t bytes);
  uint64_t held() const;

 private:
  const uint64_t total_;
  const uint64_t per_user_;
  mutable std::mutex mutex_;
  uint64_t held_ = 0;
  std::map<int64_t, uint64_t> by_user_;  // users holding bytes now; no entry holds 0
};

}  // namespace zelmic
