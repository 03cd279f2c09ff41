#include "service/store/password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "common/text_forms.h"

namespace zelmic {

namespace {

// About a tenth of a second and 32 MiB per check: slow for a guesser, bearable for a login.
constexpr uint64_t kCostN = 1u << 15;
constexpr uint64_t kCostR = 8;
constexpr uint64_t kCostP = 1;
constexpr size_t kSaltBytes = 16;
constexpr size_t kDigestBytes = 32;
// The derivation needs 128 * N * r * p bytes; this caps what a stored entry may ask for.
constexpr uint64_t kMaxMemory = 256ull << 20;

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, uint64_t n,
            uint64_t r, uint64_t p, std::vector<unsigned char>& out) {
  if (128 * n * r * p > kMaxMemory) return false;
  return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), n, r, p,
                        kMaxMemory + (1u << 20), out.data(), out.size()) == 1;
}

bool FromHex(const std::string& hex, std::vector<unsigned char>& out) {
  if (hex.empty() || hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(sep, start)) != std::string::npos; start = at + 1)
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool ParseCost(const std::string& text, uint64_t& out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  out = std::strtoull(text.c_str(), nullptr, 10);
  return out > 0;
}

}  // namespace

std::string HashPassword(const std::string& password) {
  if (password.size() > kMaxPasswordLength) return {};
  std::vector<unsigned char> salt(kSaltBytes), digest(kDigestBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return {};
  if (!Derive(password, salt, kCostN, kCostR, kCostP, digest)) return {};
  return "scrypt$" + std::to_string(kCostN) + "$" + std::to_string(kCostR) + "$" +
         std::to_string(kCostP) + "$" + plumet_text::HexLower(salt.data(), salt.size()) + "$" +
         plumet_text::HexLower(digest.data(), digest.size());
}

bool VerifyPassword(const std::string& password, const std::string& stored) {
  if (password.size() > kMaxPasswordLength) return false;
  const std::vector<std::string> parts = Split(stored, '$');
  uint64_t n = 0, r = 0, p = 0;
  std::vector<unsigned char> salt, expected;
  if (parts.size() != 6 || parts[0] != "scrypt" || !ParseCost(parts[1], n) ||
      !ParseCost(parts[2], r) || !ParseCost(parts[3], p) || !FromHex(parts[4], salt) ||
      !FromHex(parts[5], expected))
    return false;
  std::vector<unsigned char> digest(expected.size());
  if (!Derive(password, salt, n, r, p, digest)) return false;
  return CRYPTO_memcmp(digest.data(), expected.data(), digest.size()) == 0;
}

}  // namespace zelmic
