#pragma once
// Logins to the web page: a random session id in an HttpOnly, SameSite=Strict cookie, and a CSRF
// token the page's forms carry back. Kept in the database (LoginStore) under the SHA-256 of the
// cookie, so they outlive a restart for as long as the cookie promises and a stolen database holds
// no working cookie. Bounded per user and in all, and ended after a fixed lifetime. Each remembers
// the user's session generation at login; the web server ends it once the database's has moved on
// (see UserStore::SessionEpoch).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "service/store/login_store.h"

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

  // Drops the logins that ended while no server ran.
  explicit WebSessions(LoginStore& logins);

  // A new login; the user's oldest one goes when the user already has kMaxPerUser, and the oldest
  // of all when there are kMaxTotal. Returns the cookie value, empty when it cannot be stored.
  std::string Create(int64_t user_id, const std::string& user, int64_t epoch, WebLogin& login);
  std::optional<WebLogin> Find(const std::string& cookie);
  void Remove(const std::string& cookie);

 private:
  LoginStore& logins_;
};

}  // namespace zelmic
