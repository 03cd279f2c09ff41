#pragma once
// How one refresh-token exchange ended. The token exchange owns this answer; the session engine,
// which links the exchange, takes it through its TokenSource port.

namespace plumet {

enum class TokenResult {
  kOk,            // access token filled
  kInvalidGrant,  // the service refused the refresh token ("invalid_grant")
  kFailed,        // anything else: transport, status, answer; worth trying again
};

}  // namespace plumet
