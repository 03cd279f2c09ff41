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

  // Adds the user (or finds it) with the mounts granted, and a new general refresh token.
  Status AddUser(const std::string& name, const std::vector<int>& mounts, std::string& refresh);
  std::optional<int64_t> FindUser(const std::string& name) const;
  std::vector<int> Mounts(int64_t user_id) const;
  bool HasGrant(int64_t user_id, int mount) const;

  // A refresh token for one file, for the "edit" link of that file.
  Status MintLinkToken(int64_t user_id, int mount, const std::string& path, std::string& token);
  // The same for a page view: a token this process minted earlier for the same user and file is
  // handed out again while it has a good while to live, so views do not pile up tokens.
  Status LinkTokenFor(int64_t user_id, int mount, const std::string& path, std::string& token);

  // Web login. A user without a password can use the REST interface but not log in to the page.
  Status SetPassword(int64_t user_id, const std::string& password);
  // The user's id when the name and password match (as slow for unknown names as for known ones).
  std::optional<int64_t> CheckPassword(const std::string& name, const std::string& password) const;

  enum class Exchange { Ok, Unknown, Expired };
  Exchange ExchangeRefresh(const std::string& refresh, std::string& access);
  std::optional<AccessInfo> CheckAccess(const std::string& access) const;

 private:
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
