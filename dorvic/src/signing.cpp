#include "dorvic/src/signing.h"

#include <locale.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "dorvic/src/text.h"

namespace dorvic {

std::string FormatRequestDate(std::time_t when) {
  struct tm local {};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  // The service expects English names whatever locale the host process runs in.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char buf[128];
  size_t n = 0;
  if (c_locale != static_cast<locale_t>(0)) {
    n = strftime_l(buf, sizeof(buf), "%a, %d %b %y %H:%M:%S GMT", &local, c_locale);
  }
  return std::string(buf, n);
}

std::string MakeRequestDate() { return FormatRequestDate(std::time(nullptr)); }

std::wstring GetMachineName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof(buf) - 1) != 0) return std::wstring();
  std::wstring name = FromUtf8(buf);
  if (name.size() > 15) name.resize(15);
  return name;
}

std::string StringToSign(const std::string& verb, const std::string& date, int32_t mount,
                         const std::string& request_path) {
  std::string lower = verb;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower + "\n" + date + "\n" + std::to_string(mount) + "\n" + request_path;
}

std::string HmacSha1Base64(const std::string& key, const std::string& message) {
  static const unsigned char kNoKey = 0;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  const void* key_data = key.empty() ? static_cast<const void*>(&kNoKey) : key.data();
  if (HMAC(EVP_sha1(), key_data, static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &digest_len) == nullptr) {
    return std::string();
  }
  std::vector<unsigned char> encoded(4 * ((digest_len + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(encoded.data(), digest, static_cast<int>(digest_len));
  return std::string(reinterpret_cast<const char*>(encoded.data()), n > 0 ? n : 0);
}

std::string SignRequest(const std::string& secret, const std::wstring& token,
                        const std::string& verb, const std::string& date, int32_t mount,
                        const std::string& request_path) {
  return ToUtf8(token) + ":" +
         HmacSha1Base64(secret, StringToSign(verb, date, mount, request_path));
}

}  // namespace dorvic
