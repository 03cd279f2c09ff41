#pragma once
// The credential check of every request (common/credential_guard.h) with the caller's proxy:
// each request carries a token signed with the client secret.

#include <dorvic/dorvic.h>

#include <string>

namespace dorvic {

// "" when a request to `url` may go through `network` (null: no proxy); otherwise why not.
std::string CredentialRefusal(const std::string& url, const dorvic_info_stx* network);

}  // namespace dorvic
