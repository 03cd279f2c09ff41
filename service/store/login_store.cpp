#include "service/store/login_store.h"

#include "service/store/sqlite_util.h"

namespace zelmic {

namespace {

// Keeps the newest `keep` rows of the user (or of all when user_id is negative).
bool Trim(sqlite3* db, int64_t user_id, size_t keep) {
  Statement trim(db,
                 "DELETE FROM web_logins WHERE (?1 < 0 OR user_id = ?1) AND id NOT IN "
                 "(SELECT id FROM web_logins WHERE (?1 < 0 OR user_id = ?1) "
                 "ORDER BY id DESC LIMIT ?2)");
  return trim.bind(1, user_id).bind(2, static_cast<int64_t>(keep)).run();
}

}  // namespace

bool LoginStore::Add(const std::string& key, const StoredLogin& login, int64_t lifetime_s,
                     size_t max_per_user, size_t max_total) {
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return false;
  const int64_t now = db_.Now();
  Statement expired(db_.handle(), "DELETE FROM web_logins WHERE expires <= ?");
  Statement put(db_.handle(),
                "INSERT INTO web_logins(key, user_id, csrf, epoch, expires) VALUES(?, ?, ?, ?, ?)");
  return expired.bind(1, now).run() &&
         put.bind(1, key)
             .bind(2, login.user_id)
             .bind(3, login.csrf)
             .bind(4, login.epoch)
             .bind(5, now + lifetime_s)
             .run() &&
         Trim(db_.handle(), login.user_id, max_per_user) && Trim(db_.handle(), -1, max_total) &&
         tx.Commit();
}

std::optional<StoredLogin> LoginStore::Find(const std::string& key) const {
  int64_t expires = 0;
  StoredLogin login;
  {
    auto read = db_.Read();
    Statement q(read.handle(),
                "SELECT l.user_id, u.name, l.csrf, l.epoch, l.expires FROM web_logins l "
                "JOIN users u ON u.id = l.user_id WHERE l.key = ?");
    if (!q.bind(1, key).step()) return std::nullopt;
    login = StoredLogin{q.i64(0), q.text(1), q.text(2), q.i64(3)};
    expires = q.i64(4);
  }
  if (expires > db_.Now()) return login;
  Remove(key);
  return std::nullopt;
}

void LoginStore::Remove(const std::string& key) const {
  auto lock = db_.Lock();
  Statement del(db_.handle(), "DELETE FROM web_logins WHERE key = ?");
  del.bind(1, key).run();
}

void LoginStore::Purge() const {
  auto lock = db_.Lock();
  Statement del(db_.handle(),
                "DELETE FROM web_logins WHERE expires <= ? OR epoch IS NOT "
                "(SELECT session_epoch FROM users WHERE users.id = web_logins.user_id)");
  del.bind(1, db_.Now()).run();
}

}  // namespace zelmic
