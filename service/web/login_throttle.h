#pragma once
// How often a login may fail. Each attempt counts against its user name and against its client
// (the account behind a loopback connection, else the address): after kFreeFailures failures of
// either, the next attempts are refused outright for a window that doubles with each further
// failure up to kMaxLock, so that guessing costs time and no password check. A success forgets
// the name's failures; a key quiet for kForgetAfter is forgotten too. The table is bounded.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zelmic {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kFreeFailures = 5;
  static constexpr std::chrono::seconds kFirstLock{1};
  static constexpr std::chrono::seconds kMaxLock{300};
  static constexpr std::chrono::minutes kForgetAfter{15};
  static constexpr size_t kMaxKeys = 4096;

  // How long the attempt with these keys must still wait; zero when it may be checked now.
  Clock::duration Wait(const std::vector<std::string>& keys, Clock::time_point now) const;
  void Failed(const std::vector<std::string>& keys, Clock::time_point now);
  void Succeeded(const std::string& key);
  size_t size() const;

 private:
  struct Entry {
    unsigned failures = 0;
    Clock::time_point last;   // the latest failure
    Clock::time_point until;  // refused before this
  };
  void MakeRoomLocked(Clock::time_point now);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace zelmic
