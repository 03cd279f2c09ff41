#pragma once
// Users, the mounts granted to them, their web passwords and their tokens.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "service/store/database.h"
#include "service/store/status.h"
#include "service/store/store_records.h"

namespace zelmic {

class UserStore {
 public:
  UserStore(const Database& db, const TokenPolicy& policy) : db_(db), policy_(policy) {}

  // What AddUser changed about a user who was there already.
  struct UserChanges {
    bool existed = false;
    std::vector<int> mounts_added;  // grants the user did not have before
    int64_t tokens_replaced = 0;    // earlier general refresh tokens, which no longer work
  };
  // Adds the user (or finds it) with the mounts granted, and a new general refresh token that
  // replaces the user's earlier ones: whoever runs add-user again hands out the one token that
  // works from then on.
  Status AddUser(const std::string& name, const std::vector<int>& mounts, std::string& refresh,
                 UserChanges* changes = nullptr);
  std::optional<int64_t> FindUser(const std::string& name) const;
  std::vector<int> Mounts(int64_t user_id) const;
  bool HasGrant(int64_t user_id, int mount) const;

  // A refresh token for one file, for the "edit" link of that file.
  Status MintLinkToken(int64_t user_id, int mount, const std::string& path, std::string& token);
  // The same for a page view: a token this process minted earlier for the same user and file is
  // handed out again while it has a good while to live, so views do not pile up tokens.
  Status LinkTokenFor(int64_t user_id, int mount, const std::string& path, std::string& token);

  // Web login. A user without a password can use the REST interface but not log in to the page.
  // Setting a password ends the user's web logins (see SessionEpoch).
  Status SetPassword(int64_t user_id, const std::string& password);
  bool HasPassword(int64_t user_id) const;
  // The most bytes the user's versions may hold; 0 for no limit.
  Status SetQuota(int64_t user_id, int64_t bytes);
  // The user's id when the name and password match (as slow for unknown names as for known ones);
  // `epoch` receives the user's SessionEpoch read together with the password.
  std::optional<int64_t> CheckPassword(const std::string& name, const std::string& password,
                                       int64_t* epoch = nullptr) const;
  // The generation of the user's web logins, none for an unknown user. Passwords are changed and
  // users revoked by other processes than the serving one, so each login remembers the generation
  // it began in (LoginStore) and ends once the database has moved on.
  std::optional<int64_t> SessionEpoch(int64_t user_id) const;
  // Ends everything the user holds: every refresh and access token (general and link) and every
  // web login. `tokens` receives how many tokens went.
  Status Revoke(int64_t user_id, int64_t& tokens);

  enum class Exchange { Ok, Unknown, Expired };
  Exchange ExchangeRefresh(const std::string& refresh, std::string& access);
  std::optional<AccessInfo> CheckAccess(const std::string& access) const;

 private:
  // Moves the user's web logins to a new generation (the caller holds the lock in a transaction).
  bool BumpEpochLocked(int64_t user_id) const;

  const Database& db_;
  const TokenPolicy& policy_;
  struct LinkKey {
    int64_t user_id;
    int mount;
    std::string path;
    bool operator<(const LinkKey& o) const {
      return std::tie(user_id, mount, path) < std::tie(o.user_id, o.mount, o.path);
    }
  };
  std::map<LinkKey, std::string> link_tokens_;  // under the database lock; at most kMaxLinkCache
};

}  // namespace zelmic
