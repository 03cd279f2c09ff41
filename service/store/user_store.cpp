#include "service/store/user_store.h"

#include <iterator>

#include "service/store/password.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"

// Tokens are kept only as SHA-256 digests, so the database alone does not hand out live
// credentials. A general refresh token (from `add-user`) never expires. A link token is minted for
// one file's "edit" link: it is scoped to that mount and path, dies after link_unused_ttl when
// nobody uses it, and after its first use lives for link_session_ttl, long enough for the edit
// session to re-exchange it before the upload. Access tokens inherit the scope of their refresh
// token and live access_ttl seconds.

namespace zelmic {

namespace {

enum TokenKind : int { kRefresh = 0, kLinkRefresh = 1, kAccess = 2 };

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == '@';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Status UserStore::AddUser(const std::string& name, const std::vector<int>& mounts,
                          std::string& refresh, UserChanges* changes) {
  if (!ValidUserName(name)) {
    return Status::Error("invalid user name (use letters, digits, '.', '_', '-', '@'; at most 64)");
  }
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return Status::Error("the database is busy");
  UserChanges seen;
  Statement insert(db_.handle(), "INSERT OR IGNORE INTO users(name) VALUES(?)");
  insert.bind(1, name).run();
  seen.existed = sqlite3_changes(db_.handle()) == 0;
  Statement find(db_.handle(), "SELECT id FROM users WHERE name = ?");
  find.bind(1, name);
  if (!find.step()) return Status::Error("cannot add the user");
  const int64_t user_id = find.i64(0);
  for (int m : mounts) {
    Statement grant(db_.handle(), "INSERT OR IGNORE INTO grants(user_id, mount) VALUES(?, ?)");
    grant.bind(1, user_id).bind(2, m).run();
    if (sqlite3_changes(db_.handle()) > 0) seen.mounts_added.push_back(m);
  }
  Statement replaced(db_.handle(), "DELETE FROM tokens WHERE user_id = ? AND kind = ?");
  if (!replaced.bind(1, user_id).bind(2, kRefresh).run())
    return Status::Error("cannot replace the user's tokens");
  seen.tokens_replaced = sqlite3_changes(db_.handle());
  refresh = RandomHex(20);
  Statement token(
      db_.handle(),
      "INSERT INTO tokens(token, kind, user_id, created, expires) VALUES(?, ?, ?, ?, 0)");
  bool ok =
      token.bind(1, SecretKey(refresh)).bind(2, kRefresh).bind(3, user_id).bind(4, db_.Now()).run();
  if (!ok || !tx.Commit()) return Status::Error("cannot store the token");
  if (changes) *changes = seen;
  return Status::OK();
}

std::optional<int64_t> UserStore::FindUser(const std::string& name) const {
  auto lock = db_.Lock();
  Statement find(db_.handle(), "SELECT id FROM users WHERE name = ?");
  find.bind(1, name);
  if (!find.step()) return std::nullopt;
  return find.i64(0);
}

std::vector<int> UserStore::Mounts(int64_t user_id) const {
  auto read = db_.Read();
  std::vector<int> out;
  Statement q(read.handle(), "SELECT mount FROM grants WHERE user_id = ? ORDER BY mount");
  q.bind(1, user_id);
  while (q.step()) out.push_back(q.i32(0));
  return out;
}

bool UserStore::HasGrant(int64_t user_id, int mount) const {
  auto read = db_.Read();
  Statement q(read.handle(), "SELECT 1 FROM grants WHERE user_id = ? AND mount = ?");
  q.bind(1, user_id).bind(2, mount);
  return q.step();
}

Status UserStore::MintLinkToken(int64_t user_id, int mount, const std::string& path,
                                std::string& token) {
  if (!HasGrant(user_id, mount)) return Fail(403, 40301, "no access to this mount");
  auto lock = db_.Lock();
  const int64_t now = db_.Now();
  Statement prune(db_.handle(), "DELETE FROM tokens WHERE expires != 0 AND expires < ?");
  prune.bind(1, now).run();
  token = RandomHex(20);
  Statement insert(db_.handle(),
                   "INSERT INTO tokens(token, kind, user_id, mount, path, created, expires) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, SecretKey(token)).bind(2, kLinkRefresh).bind(3, user_id).bind(4, mount);
  insert.bind(5, path).bind(6, now).bind(7, now + policy_.link_unused_ttl);
  if (!insert.run()) return Fail(500, 50003, "cannot store the token");
  return {};
}

Status UserStore::LinkTokenFor(int64_t user_id, int mount, const std::string& path,
                               std::string& token) {
  // A page lists every file of the user's mounts; a bounded cache keeps a busy page from growing
  // memory without end (forgetting only costs a fresh token).
  constexpr size_t kMaxLinkCache = 20000;
  const LinkKey key{user_id, mount, path};
  {
    auto lock = db_.Lock();
    auto it = link_tokens_.find(key);
    if (it != link_tokens_.end()) {
      Statement q(db_.handle(),
                  "SELECT expires FROM tokens WHERE token = ? AND kind = ? AND user_id = ?");
      q.bind(1, SecretKey(it->second)).bind(2, kLinkRefresh).bind(3, user_id);
      // Handed out again only while it has at least half its unused lifetime left.
      if (q.step() && q.i64(0) >= db_.Now() + policy_.link_unused_ttl / 2) {
        token = it->second;
        return {};
      }
      link_tokens_.erase(it);
    }
  }
  if (Status e = MintLinkToken(user_id, mount, path, token); !e.ok()) return e;
  auto lock = db_.Lock();
  if (link_tokens_.size() >= kMaxLinkCache) link_tokens_.clear();
  link_tokens_[key] = token;
  return {};
}

UserStore::Exchange UserStore::ExchangeRefresh(const std::string& refresh, std::string& access) {
  auto lock = db_.Lock();
  const int64_t now = db_.Now();
  if (!db_.Exec("BEGIN IMMEDIATE")) return Exchange::Unknown;
  Statement prune(db_.handle(), "DELETE FROM tokens WHERE kind = 2 AND expires < ?");
  prune.bind(1, now).run();
  Statement find(db_.handle(),
                 "SELECT kind, user_id, mount, path, expires, used FROM tokens "
                 "WHERE token = ? AND kind IN (0, 1)");
  find.bind(1, SecretKey(refresh));
  if (!find.step()) {
    db_.Exec("ROLLBACK");
    return Exchange::Unknown;
  }
  const int kind = find.i32(0);
  const int64_t user_id = find.i64(1);
  const bool scoped = !find.is_null(2);
  const int mount = find.i32(2);
  const std::string path = find.text(3);
  const int64_t expires = find.i64(4);
  const bool used = find.i32(5) != 0;
  if (expires != 0 && expires < now) {
    db_.Exec("ROLLBACK");
    return Exchange::Expired;
  }
  if (kind == kLinkRefresh && !used) {
    Statement mark(db_.handle(), "UPDATE tokens SET used = 1, expires = ? WHERE token = ?");
    mark.bind(1, now + policy_.link_session_ttl).bind(2, SecretKey(refresh)).run();
  }
  access = RandomHex(20);
  Statement insert(db_.handle(),
                   "INSERT INTO tokens(token, kind, user_id, mount, path, created, expires) "
                   "VALUES(?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, SecretKey(access)).bind(2, kAccess).bind(3, user_id);
  if (scoped) {
    insert.bind(4, mount).bind(5, path);
  } else {
    insert.bind_null(4).bind_null(5);
  }
  insert.bind(6, now).bind(7, now + policy_.access_ttl);
  if (!insert.run() || !db_.Exec("COMMIT")) {
    db_.Exec("ROLLBACK");
    return Exchange::Unknown;
  }
  return Exchange::Ok;
}

std::optional<AccessInfo> UserStore::CheckAccess(const std::string& access) const {
  auto read = db_.Read();
  Statement find(read.handle(),
                 "SELECT t.user_id, u.name, t.mount, t.path, t.expires FROM tokens t "
                 "JOIN users u ON u.id = t.user_id WHERE t.token = ? AND t.kind = 2");
  find.bind(1, SecretKey(access));
  if (!find.step()) return std::nullopt;
  if (find.i64(4) < db_.Now()) return std::nullopt;
  AccessInfo info;
  info.user_id = find.i64(0);
  info.user = find.text(1);
  info.scoped = !find.is_null(2);
  info.mount = find.i32(2);
  info.path = find.text(3);
  return info;
}

Status UserStore::SetPassword(int64_t user_id, const std::string& password) {
  if (password.empty() || password.size() > kMaxPasswordLength)
    return Status::Error("the password must have 1 to " + std::to_string(kMaxPasswordLength) +
                         " bytes");
  const std::string hash = HashPassword(password);
  if (hash.empty()) return Status::Error("cannot hash the password");
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return Status::Error("the database is busy");
  Statement put(db_.handle(), "INSERT OR REPLACE INTO passwords(user_id, hash) VALUES(?, ?)");
  if (!put.bind(1, user_id).bind(2, hash).run() || !BumpEpochLocked(user_id) || !tx.Commit())
    return Status::Error("cannot store the password");
  return Status::OK();
}

Status UserStore::SetQuota(int64_t user_id, int64_t bytes) {
  auto lock = db_.Lock();
  Statement set(db_.handle(), "UPDATE users SET quota = ? WHERE id = ?");
  if (!set.bind(1, bytes).bind(2, user_id).run()) return Status::Error("cannot set the quota");
  return Status::OK();
}

bool UserStore::HasPassword(int64_t user_id) const {
  auto lock = db_.Lock();
  Statement q(db_.handle(), "SELECT 1 FROM passwords WHERE user_id = ?");
  q.bind(1, user_id);
  return q.step();
}

std::optional<int64_t> UserStore::SessionEpoch(int64_t user_id) const {
  auto read = db_.Read();
  Statement q(read.handle(), "SELECT session_epoch FROM users WHERE id = ?");
  q.bind(1, user_id);
  if (!q.step()) return std::nullopt;
  return q.i64(0);
}

bool UserStore::BumpEpochLocked(int64_t user_id) const {
  Statement bump(db_.handle(), "UPDATE users SET session_epoch = session_epoch + 1 WHERE id = ?");
  return bump.bind(1, user_id).run() && sqlite3_changes(db_.handle()) == 1;
}

Status UserStore::Revoke(int64_t user_id, int64_t& tokens) {
  auto lock = db_.Lock();
  Transaction tx(db_);
  if (!tx.ok()) return Status::Error("the database is busy");
  Statement del(db_.handle(), "DELETE FROM tokens WHERE user_id = ?");
  if (!del.bind(1, user_id).run()) return Status::Error("cannot delete the tokens");
  const int64_t deleted = sqlite3_changes(db_.handle());
  if (!BumpEpochLocked(user_id)) return Status::Error("no such user");
  if (!tx.Commit()) return Status::Error("cannot commit");
  // This process's page-link cache would only hand out tokens that are gone; drop them.
  for (auto it = link_tokens_.begin(); it != link_tokens_.end();)
    it = it->first.user_id == user_id ? link_tokens_.erase(it) : std::next(it);
  tokens = deleted;
  return Status::OK();
}

std::optional<int64_t> UserStore::CheckPassword(const std::string& name,
                                                const std::string& password, int64_t* epoch) const {
  std::string stored;
  int64_t user_id = 0;
  int64_t generation = 0;
  {
    // Hash and generation in one read: a password changed after it makes this login stale.
    auto lock = db_.Lock();
    Statement q(db_.handle(),
                "SELECT u.id, p.hash, u.session_epoch FROM users u "
                "JOIN passwords p ON p.user_id = u.id WHERE u.name = ?");
    q.bind(1, name);
    if (q.step()) {
      user_id = q.i64(0);
      stored = q.text(1);
      generation = q.i64(2);
    }
  }
  // An unknown name costs the same derivation, so timing does not tell which names exist.
  static const std::string decoy = HashPassword("decoy");
  const bool match = VerifyPassword(password, stored.empty() ? decoy : stored);
  if (stored.empty() || !match) return std::nullopt;
  if (epoch) *epoch = generation;
  return user_id;
}

}  // namespace zelmic
