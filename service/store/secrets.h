#pragma once
// The secrets the service hands out and checks: tokens, cookies, keys and link MACs. They live at
// the bottom of the service because the store mints most of them (refresh and access tokens,
// upload tickets, share keys) and every listener above compares them.

#include <cstddef>
#include <string>

namespace zelmic {

// Random lowercase hex text of 2*bytes characters from the OpenSSL generator.
std::string RandomHex(size_t bytes);

// Constant-time comparison, so a forged secret learns nothing from timing.
bool SameSecret(const std::string& a, const std::string& b);

// The SHA-256 of a secret as lowercase hex: what the database keeps to find a token or a login
// by, so that nothing it holds works as the secret itself.
std::string SecretKey(const std::string& secret);

}  // namespace zelmic
