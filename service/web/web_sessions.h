#pragma once
// Logins to the web page: a random session id in an HttpOnly, SameSite=Strict cookie, and a CSRF
// token the page's forms carry back. Kept in memory (a restart logs everybody out), bounded per
// user and in all, and ended after a fixed lifetime. Each remembers the user's session generation
// at login; the web server ends it once the database's has moved on (see UserStore::SessionEpoch).

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zelmic {

struct WebLogin {
  int64_t user_id = 0;
  std::string user;
  std::string csrf;
  int64_t epoch = 0;  // the user's session generation at login (UserStore::SessionEpoch)
};

class WebSessions {
 public:
  static constexpr size_t kMaxPerUser = 8;
  static constexpr size_t kMaxTotal = 4096;
  static constexpr std::chrono::hours kLifetime{12};

  // A new login; the user's oldest one goes when the user already has kMaxPerUser, and the oldest
  // of all when there are kMaxTotal. Returns the cookie value.
  std::string Create(int64_t user_id, const std::string& user, int64_t epoch, WebLogin& login);
  std::optional<WebLogin> Find(const std::string& cookie);
  void Remove(const std::string& cookie);
  size_t size() const;

 private:
  struct Entry {
    WebLogin login;
    std::chrono::steady_clock::time_point created;
  };
  void DropOldestLocked(int64_t user_id_or_all);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> by_key_;  // keyed by the SHA-256 of the cookie value
};

}  // namespace zelmic
