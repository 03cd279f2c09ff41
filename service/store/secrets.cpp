#include "service/store/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "common/text_forms.h"

namespace zelmic {

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
    throw std::runtime_error("no random bytes available");
  return plumet_text::HexLower(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

bool SameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string SecretKey(const std::string& secret) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(secret.data(), secret.size(), digest, &len, EVP_sha256(), nullptr);
  return plumet_text::HexLower(digest, len);
}

}  // namespace zelmic
