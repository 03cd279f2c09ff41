#include "service/web/web_sessions.h"

#include <openssl/evp.h>

#include "common/text_forms.h"
#include "service/store/secrets.h"

namespace zelmic {

namespace {

// Lookups by the digest of the cookie: a map compares keys byte by byte, and timing should tell
// nothing about live cookie values.
std::string KeyOf(const std::string& cookie) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(cookie.data(), cookie.size(), digest, &len, EVP_sha256(), nullptr);
  return plumet_text::HexLower(digest, len);
}

constexpr int64_t kAll = -1;

}  // namespace

std::string WebSessions::Create(int64_t user_id, const std::string& user, int64_t epoch,
                                WebLogin& login) {
  std::string cookie = RandomHex(32);
  login = WebLogin{user_id, user, RandomHex(16), epoch};
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  size_t mine = 0;
  for (auto it = by_key_.begin(); it != by_key_.end();) {
    if (now - it->second.created > kLifetime) {
      it = by_key_.erase(it);
      continue;
    }
    if (it->second.login.user_id == user_id) ++mine;
    ++it;
  }
  if (mine >= kMaxPerUser) DropOldestLocked(user_id);
  if (by_key_.size() >= kMaxTotal) DropOldestLocked(kAll);
  by_key_[KeyOf(cookie)] = Entry{login, now};
  return cookie;
}

void WebSessions::DropOldestLocked(int64_t user_id_or_all) {
  auto oldest = by_key_.end();
  for (auto it = by_key_.begin(); it != by_key_.end(); ++it) {
    if (user_id_or_all != kAll && it->second.login.user_id != user_id_or_all) continue;
    if (oldest == by_key_.end() || it->second.created < oldest->second.created) oldest = it;
  }
  if (oldest != by_key_.end()) by_key_.erase(oldest);
}

std::optional<WebLogin> WebSessions::Find(const std::string& cookie) {
  if (cookie.empty() || cookie.size() > 128) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = by_key_.find(KeyOf(cookie));
  if (it == by_key_.end()) return std::nullopt;
  if (std::chrono::steady_clock::now() - it->second.created > kLifetime) {
    by_key_.erase(it);
    return std::nullopt;
  }
  return it->second.login;
}

void WebSessions::Remove(const std::string& cookie) {
  std::lock_guard<std::mutex> lock(mutex_);
  by_key_.erase(KeyOf(cookie));
}

size_t WebSessions::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_key_.size();
}

}  // namespace zelmic
