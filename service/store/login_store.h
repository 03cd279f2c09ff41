#pragma once
// The web page's logins, kept in the database so that they outlive a restart of the server. A row
// is found by the digest of its cookie (the caller's key); the cookie itself is never stored, so
// a copy of the database lets nobody in. Each row keeps the user's session generation at login
// (UserStore::SessionEpoch): a password change or a revoke, by any process, ends it.

#include <cstdint>
#include <optional>
#include <string>

#include "service/store/database.h"

namespace zelmic {

struct StoredLogin {
  int64_t user_id = 0;
  std::string user;  // the user's name
  std::string csrf;
  int64_t epoch = 0;
};

class LoginStore {
 public:
  explicit LoginStore(const Database& db) : db_(db) {}

  // Stores a login that ends `lifetime_s` seconds from now. The user's oldest logins beyond
  // max_per_user go, and the oldest of all beyond max_total; so do expired ones.
  bool Add(const std::string& key, const StoredLogin& login, int64_t lifetime_s,
           size_t max_per_user, size_t max_total);
  // The live login under the key; an expired one is deleted on the way.
  std::optional<StoredLogin> Find(const std::string& key) const;
  void Remove(const std::string& key) const;
  // Deletes the expired logins and those of a generation their user has left behind.
  void Purge() const;

 private:
  const Database& db_;
};

}  // namespace zelmic
