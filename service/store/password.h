#pragma once
// Passwords of the web login, kept only as salted scrypt digests: "scrypt$N$r$p$SALT$DIGEST" with
// the salt and digest in lowercase hex, so the cost can be raised later without breaking old
// entries.

#include <string>

namespace zelmic {

// Empty when the generator or the derivation fails.
std::string HashPassword(const std::string& password);
// True when password derives to the stored digest (compared in constant time).
bool VerifyPassword(const std::string& password, const std::string& stored);

// Longest password accepted; anything longer is refused rather than hashed.
constexpr size_t kMaxPasswordLength = 1024;

}  // namespace zelmic
