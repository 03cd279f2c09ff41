#include "service/http/auth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>

namespace zelmic {

std::string Base64Encode(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string ComputeSignature(const std::string& secret, const std::string& verb,
                             const std::string& date, int mount, const std::string& request_path) {
  std::string message;
  for (char c : verb) message += static_cast<char>((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
  message += '\n';
  message += date;
  message += '\n';
  message += std::to_string(mount);
  message += '\n';
  message += request_path;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_sha1(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &len);
  return Base64Encode(std::string(reinterpret_cast<char*>(digest), len));
}

bool SplitAuthorization(const std::string& value, std::string& token, std::string& signature) {
  size_t colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == value.size()) return false;
  token = value.substr(0, colon);
  signature = value.substr(colon + 1);
  return true;
}

bool ParseRequestDate(const std::string& text, time_t& wall) {
  if (text.empty() || text.size() > 64) return false;
  tm parts{};
  const char* end = strptime(text.c_str(), "%a, %d %b %y %H:%M:%S GMT", &parts);
  if (!end || *end != '\0') return false;
  wall = timegm(&parts);
  return wall != static_cast<time_t>(-1);
}

bool DatePlausible(time_t wall, time_t now) {
  const long long diff = static_cast<long long>(wall) - static_cast<long long>(now);
  constexpr long long kSkew = 15LL * 60;
  return diff >= -(12LL * 3600 + kSkew) && diff <= 14LL * 3600 + kSkew;
}

}  // namespace zelmic
