#include "auth/token_refresh.h"

#include <cjson/cJSON.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/credential_guard.h"
#include "common/endpoints.h"
#include "common/http_status_line.h"
#include "common/owned_json.h"
#include "common/text_utf.h"
#include "common/transport_settings.h"

namespace plumet {

using plumet_text::FromUtf8;
using plumet_text::ToUtf8;

namespace {

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// The request's transport settings in one place: the user's proxy and certificate bundle, and
// no redirects (the form carries the client secret and the refresh token, and must go nowhere but
// the endpoint). Certificates are verified.
void PrepareTokenRequest(CURL* curl, const std::string& endpoint, curl_mime* form,
                         curl_slist* headers, std::string& headerText, std::string& body,
                         const plumet_transport::ProgressLimits& limits) {
  curl_easy_reset(curl);
  plumet_transport::ApplyTransportSettings(curl, endpoint, plumet_transport::FromEnvironment());
  plumet_transport::ApplyProgressLimits(curl, limits);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headerText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
  curl_easy_setopt(curl, CURLOPT_URL, endpoint.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
}

void AddField(curl_mime* form, const char* name, const std::string& value) {
  curl_mimepart* part = curl_mime_addpart(form);
  curl_mime_name(part, name);
  curl_mime_data(part, value.data(), value.size());
}

void SetCause(std::string* cause, std::string text) {
  if (cause != nullptr) *cause = std::move(text);
}

}  // namespace

std::string TokenEndpoint(const std::string& tokenHost) {
  std::string base = tokenHost;
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (base.find("://") == std::string::npos) base = "http://" + base;
  return base + "/oauth/token";
}

std::string TokenHostFromEnvironment() {
  const char* host = std::getenv("PLUMET_TOKEN_HOST");
  return host != nullptr && *host != '\0' ? host : plumet_defaults::kTokenHost;
}

TokenResult RefreshAccessToken(CURL* curl, const std::string& endpoint,
                               const std::wstring& refreshToken, std::wstring& accessToken,
                               std::string* cause, const plumet_transport::ProgressLimits& limits) {
  if (curl == nullptr) {
    SetCause(cause, "no HTTP handle");
    return TokenResult::kFailed;
  }
  // The form carries the refresh token and the client secret: not to another account's listener.
  const std::string refusal =
      plumet_transport::CredentialRefusal(endpoint, plumet_transport::FromEnvironment());
  if (!refusal.empty()) {
    SetCause(cause, refusal);
    return TokenResult::kFailed;
  }
  std::unique_ptr<curl_mime, decltype(&curl_mime_free)> form(curl_mime_init(curl), curl_mime_free);
  AddField(form.get(), "grant_type", "refresh_token");
  AddField(form.get(), "refresh_token", ToUtf8(refreshToken));
  AddField(form.get(), "client_id", plumet_defaults::kClientId);
  AddField(form.get(), "client_secret", plumet_defaults::kClientSecret);
  // No "100 Continue" round trip before the form.
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
      curl_slist_append(nullptr, "Expect:"), curl_slist_free_all);

  std::string headerText;
  std::string body;
  PrepareTokenRequest(curl, endpoint, form.get(), headers.get(), headerText, body, limits);
  const CURLcode result = curl_easy_perform(curl);
  // The handle must not keep pointers to the form and list freed below.
  curl_easy_setopt(curl, CURLOPT_MIMEPOST, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  if (result != CURLE_OK) {
    SetCause(cause, std::string("token endpoint unreachable: ") + curl_easy_strerror(result));
    return TokenResult::kFailed;
  }
  const int status = plumet_text::FinalAnswerStatus(headerText).value_or(-1);

  const plumet_common::JsonPtr root(cJSON_Parse(body.c_str()));
  TokenResult outcome = TokenResult::kFailed;
  std::wstring token;
  bool invalidGrant = false;
  if (root != nullptr && cJSON_IsObject(root.get())) {
    for (const cJSON* member = root->child; member != nullptr; member = member->next) {
      if (!cJSON_IsString(member) || member->string == nullptr || member->valuestring == nullptr)
        continue;
      if (std::strcmp(member->string, "access_token") == 0) {
        token = FromUtf8(member->valuestring);
        outcome = TokenResult::kOk;
      } else if (std::strcmp(member->string, "error") == 0) {
        outcome = TokenResult::kFailed;
        invalidGrant = std::strcmp(member->valuestring, "invalid_grant") == 0;
      }
    }
  }
  if (status != 200) {
    // A refused grant is usually answered 400 with its "error": that one is worth telling apart.
    SetCause(cause, "token endpoint answered status " + std::to_string(status));
    return invalidGrant ? TokenResult::kInvalidGrant : TokenResult::kFailed;
  }
  if (outcome == TokenResult::kOk && !token.empty()) {
    accessToken = token;
    return TokenResult::kOk;
  }
  SetCause(cause, invalidGrant ? "refresh token refused (invalid_grant)"
                               : "token endpoint gave no access token");
  return invalidGrant ? TokenResult::kInvalidGrant : TokenResult::kFailed;
}

}  // namespace plumet
