#include "service/web/web_sessions.h"

#include "service/store/secrets.h"

namespace zelmic {

namespace {

// Longer than any cookie this server sets: not worth a digest.
constexpr size_t kMaxCookie = 128;

}  // namespace

WebSessions::WebSessions(LoginStore& logins) : logins_(logins) { logins_.Purge(); }

std::string WebSessions::Create(int64_t user_id, const std::string& user, int64_t epoch,
                                WebLogin& login) {
  std::string cookie = RandomHex(32);
  login = WebLogin{user_id, user, RandomHex(16), epoch};
  const int64_t lifetime = std::chrono::duration_cast<std::chrono::seconds>(kLifetime).count();
  if (!logins_.Add(SecretKey(cookie), StoredLogin{user_id, user, login.csrf, epoch}, lifetime,
                   kMaxPerUser, kMaxTotal))
    return {};
  return cookie;
}

std::optional<WebLogin> WebSessions::Find(const std::string& cookie) {
  if (cookie.empty() || cookie.size() > kMaxCookie) return std::nullopt;
  auto stored = logins_.Find(SecretKey(cookie));
  if (!stored) return std::nullopt;
  return WebLogin{stored->user_id, stored->user, stored->csrf, stored->epoch};
}

void WebSessions::Remove(const std::string& cookie) {
  if (cookie.empty() || cookie.size() > kMaxCookie) return;
  logins_.Remove(SecretKey(cookie));
}

}  // namespace zelmic
