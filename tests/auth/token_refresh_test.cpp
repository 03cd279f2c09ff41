// The token exchange against a loopback endpoint: the form it sends, how answers are read, and
// that the request goes nowhere but the endpoint.

#include "auth/token_refresh.h"

#include <gtest/gtest.h>

#include "common/endpoints.h"
#include "tests/session/loopback_server.h"

namespace plumet {
namespace {

using session_test::Answer;
using session_test::LoopbackServer;
using session_test::Request;

Answer Endpoint(const Request& r) {
  if (r.url == "/elsewhere/oauth/token") return {200, R"({"access_token":"stolen"})", {}};
  if (r.url != "/oauth/token" || r.method != "POST") return {404, "", {}};
  const auto it = r.form.find("refresh_token");
  const std::string token = it == r.form.end() ? "" : it->second;
  if (token == "good") return {200, R"({"token_type":"bearer","access_token":"A-1"})", {}};
  if (token == "error") return {200, R"({"error":"server_error"})", {}};
  if (token == "expired") return {400, R"({"error":"invalid_grant"})", {}};
  if (token == "numeric") return {200, R"({"access_token":5})", {}};
  if (token == "both") return {200, R"({"access_token":"A-2","error":"x"})", {}};
  if (token == "redirect") return {302, "", {{"Location", "/elsewhere/oauth/token"}}};
  if (token == "status") return {503, R"({"access_token":"A-3"})", {}};
  return {400, "", {}};
}

TEST(TokenEndpoint, HostOrUrl) {
  EXPECT_EQ("http://127.0.0.1:5/oauth/token", TokenEndpoint("127.0.0.1:5"));
  EXPECT_EQ("https://t.example:8/oauth/token", TokenEndpoint("https://t.example:8/"));
}

TEST(RefreshAccessToken, AnswersOfTheEndpoint) {
  LoopbackServer server(Endpoint);
  ASSERT_TRUE(server.ok());
  CURL* curl = curl_easy_init();
  const std::string endpoint = TokenEndpoint(server.Host());
  struct Case {
    const wchar_t* refresh;
    TokenResult result;
    const wchar_t* access;  // what the access token holds afterwards
  } cases[] = {
      {L"good", TokenResult::kOk, L"A-1"},
      {L"error", TokenResult::kFailed, L"before"},
      {L"expired", TokenResult::kInvalidGrant, L"before"},
      {L"numeric", TokenResult::kFailed, L"before"},
      {L"both", TokenResult::kFailed, L"before"},
      {L"redirect", TokenResult::kFailed, L"before"},  // the form is never sent on
      {L"status", TokenResult::kFailed, L"before"},
  };
  for (const Case& c : cases) {
    std::wstring access = L"before";
    std::string cause;
    EXPECT_EQ(c.result, RefreshAccessToken(curl, endpoint, c.refresh, access, &cause))
        << std::string(c.refresh, c.refresh + wcslen(c.refresh));
    EXPECT_EQ(c.access, access);
    if (c.result != TokenResult::kOk) {
      EXPECT_FALSE(cause.empty());
    }
  }
  // The form: four fields, multipart, with the built-in client credentials.
  const Request first = server.requests().front();
  EXPECT_EQ(0u, first.contentType.rfind("multipart/form-data", 0));
  EXPECT_EQ(4u, first.form.size());
  EXPECT_EQ("refresh_token", first.form.at("grant_type"));
  EXPECT_EQ("good", first.form.at("refresh_token"));
  EXPECT_EQ(plumet_defaults::kClientId, first.form.at("client_id"));
  EXPECT_EQ(plumet_defaults::kClientSecret, first.form.at("client_secret"));
  for (const Request& r : server.requests()) EXPECT_NE("/elsewhere/oauth/token", r.url);

  // Nobody listening: a failure with its cause, never a token in it.
  std::wstring access = L"before";
  std::string cause;
  EXPECT_EQ(TokenResult::kFailed, RefreshAccessToken(curl, TokenEndpoint("127.0.0.1:1"),
                                                     L"secret-refresh", access, &cause));
  EXPECT_EQ(std::string::npos, cause.find("secret-refresh"));
  curl_easy_cleanup(curl);
}

}  // namespace
}  // namespace plumet
