// Who may see what without a token of the REST interface: web login passwords, the signed
// download locations, and whether a user can already read some content.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>

#include "common/text_forms.h"
#include "service/store/password.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"
#include "service/store/store.h"

namespace zelmic {

namespace {

constexpr const char* kLinkSecretKey = "link-secret";
constexpr size_t kMacHexLength = 32;  // 128 bits of HMAC-SHA-256

std::string LocationMac(const std::string& secret, const std::string& key, int64_t expires) {
  const std::string message = key + "." + std::to_string(expires);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &len);
  return plumet_text::HexLower(digest, len).substr(0, kMacHexLength);
}

}  // namespace

bool Store::LoadLinkSecret() {
  Statement find(db_, "SELECT value FROM meta WHERE key = ?");
  find.bind(1, std::string(kLinkSecretKey));
  if (find.step()) {
    link_secret_ = find.text(0);
    return !link_secret_.empty();
  }
  link_secret_ = RandomHex(32);
  Statement insert(db_, "INSERT OR IGNORE INTO meta(key, value) VALUES(?, ?)");
  if (!insert.bind(1, std::string(kLinkSecretKey)).bind(2, link_secret_).run()) return false;
  // Another process may have won the race; its secret is the one to use.
  Statement again(db_, "SELECT value FROM meta WHERE key = ?");
  again.bind(1, std::string(kLinkSecretKey));
  if (!again.step()) return false;
  link_secret_ = again.text(0);
  return true;
}

std::string Store::DownloadLocation(const std::string& download_key) {
  const int64_t expires = Now() + policy_.download_ttl;
  return download_key + "." + std::to_string(expires) + "." +
         LocationMac(link_secret_, download_key, expires);
}

std::optional<DownloadTarget> Store::ResolveDownload(const std::string& location) {
  const size_t first = location.find('.');
  const size_t second = first == std::string::npos ? first : location.find('.', first + 1);
  if (second == std::string::npos || second - first > 20) return std::nullopt;
  const std::string key = location.substr(0, first);
  const std::string expires_text = location.substr(first + 1, second - first - 1);
  const std::string mac = location.substr(second + 1);
  if (key.empty() || expires_text.empty() ||
      expires_text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int64_t expires = std::strtoll(expires_text.c_str(), nullptr, 10);
  if (!SameSecret(mac, LocationMac(link_secret_, key, expires)) || expires < Now())
    return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  Statement q(db_,
              "SELECT v.filehash, v.filesize, f.path FROM versions v JOIN files f "
              "ON f.id = v.file_id WHERE v.download_key = ? AND f.deleted = 0");
  q.bind(1, key);
  if (!q.step()) return std::nullopt;
  const std::string path = q.text(2);
  return DownloadTarget{BlobPath(q.text(0)), q.i64(1), path.substr(path.rfind('/') + 1), q.text(0)};
}

bool Store::CanReadContent(int64_t user_id, const std::string& filehash) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement q(db_,
              "SELECT 1 FROM versions v JOIN files f ON f.id = v.file_id JOIN grants g "
              "ON g.mount = f.mount AND g.user_id = ? WHERE v.filehash = ? LIMIT 1");
  q.bind(1, user_id).bind(2, filehash);
  return q.step();
}

Status Store::SetPassword(int64_t user_id, const std::string& password) {
  if (password.empty() || password.size() > kMaxPasswordLength)
    return Status::Error("the password must have 1 to " + std::to_string(kMaxPasswordLength) +
                         " bytes");
  const std::string hash = HashPassword(password);
  if (hash.empty()) return Status::Error("cannot hash the password");
  std::lock_guard<std::mutex> lock(mutex_);
  Statement put(db_, "INSERT OR REPLACE INTO passwords(user_id, hash) VALUES(?, ?)");
  if (!put.bind(1, user_id).bind(2, hash).run()) return Status::Error("cannot store the password");
  return Status::OK();
}

std::optional<int64_t> Store::CheckPassword(const std::string& name, const std::string& password) {
  std::string stored;
  int64_t user_id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement q(db_,
                "SELECT u.id, p.hash FROM users u JOIN passwords p ON p.user_id = u.id "
                "WHERE u.name = ?");
    q.bind(1, name);
    if (q.step()) {
      user_id = q.i64(0);
      stored = q.text(1);
    }
  }
  // An unknown name costs the same derivation, so timing does not tell which names exist.
  static const std::string decoy = HashPassword("decoy");
  const bool match = VerifyPassword(password, stored.empty() ? decoy : stored);
  if (stored.empty() || !match) return std::nullopt;
  return user_id;
}

}  // namespace zelmic
