#pragma once
// Exchange of a refresh token for an access token at the token endpoint "/oauth/token": a
// multipart form of grant_type, refresh_token, client_id and client_secret, a JSON answer.

#include <curl/curl.h>

#include <string>

#include "auth/token_result.h"
#include "common/transport_settings.h"

namespace plumet {

// The endpoint URL for a token host given as "host:port" or as a URL ("http://host:port").
std::string TokenEndpoint(const std::string& tokenHost);

// The token host: PLUMET_TOKEN_HOST when set, otherwise the built-in default.
std::string TokenHostFromEnvironment();

// One exchange on `curl` (reset first). kInvalidGrant when the endpoint answered an "error" of
// "invalid_grant". `cause` receives a short reason on failure (never a token). An endpoint that
// stops answering fails the exchange after `limits` (the overall minute bounds it as well).
TokenResult RefreshAccessToken(CURL* curl, const std::string& endpoint,
                               const std::wstring& refreshToken, std::wstring& accessToken,
                               std::string* cause = nullptr,
                               const plumet_transport::ProgressLimits& limits = {});

}  // namespace plumet
