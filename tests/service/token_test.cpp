// The token endpoint and the lifetime of access tokens.
#include <thread>

#include "common/endpoints.h"
#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

std::string Form(const std::vector<std::pair<std::string, std::string>>& fields) {
  // A multipart body as curl_formadd sends it.
  std::string body;
  for (const auto& [name, value] : fields)
    body +=
        "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  return body + "--XyZ--\r\n";
}

class TokenTest : public ScriptedServiceTest {
 protected:
  HttpResult Exchange(const std::vector<std::pair<std::string, std::string>>& fields,
                      const char* method = "POST", const char* path = "/oauth/token") {
    return HttpRequest(method, "http://" + z_.token_host() + path,
                       {"Content-Type: multipart/form-data; boundary=XyZ"}, Form(fields));
  }
  std::vector<std::pair<std::string, std::string>> Good() {
    return {{"grant_type", "refresh_token"},
            {"refresh_token", ann_refresh_},
            {"client_id", plumet_defaults::kClientId},
            {"client_secret", plumet_defaults::kClientSecret}};
  }
};

TEST_F(TokenTest, KnownRefreshTokenGetsAnAccessToken) {
  HttpResult r = Exchange(Good());
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.headers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << r.headers;
  const std::string access = Str(ParseJson(r.body), "access_token");
  ASSERT_EQ(access.size(), 40u);
  EXPECT_EQ(Call(access, "GET", 1, "/docs/plan%2Etxt").status, 200);
  EXPECT_NE(access, Str(ParseJson(Exchange(Good()).body), "access_token"));
}

TEST_F(TokenTest, EverythingElseIsAnError) {
  auto with = [&](const char* name, const std::string& value) {
    auto f = Good();
    for (auto& [k, v] : f)
      if (k == name) v = value;
    return f;
  };
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    long status;
  } cases[] = {
      {with("refresh_token", "0123"), 400},
      {with("refresh_token", ann_), 400},  // an access token is no refresh token
      {with("client_secret", "nope"), 401},
      {with("client_id", "nope"), 401},
      {with("grant_type", "password"), 400},
      {{{"grant_type", "refresh_token"}, {"refresh_token", ann_refresh_}}, 400},
  };
  for (const auto& c : cases) {
    HttpResult r = Exchange(c.fields);
    EXPECT_EQ(r.status, c.status) << r.body;
    Json j = ParseJson(r.body);
    EXPECT_NE(Str(j, "error"), "<missing>") << r.body;
    EXPECT_EQ(Str(j, "access_token"), "<missing>");
  }
  EXPECT_EQ(Exchange(Good(), "GET").status, 405);
  EXPECT_EQ(Exchange(Good(), "POST", "/oauth/other").status, 404);
  EXPECT_EQ(HttpRequest("POST", "http://" + z_.token_host() + "/oauth/token",
                        {"Content-Type: text/plain"}, "x")
                .status,
            400);
}

TEST_F(TokenTest, ScriptedAnswers) {
  ASSERT_TRUE(
      z_.Script(R"({"endpoint":"/oauth/token","status":200,"body":"{\"error\":\"later\"}"})"));
  HttpResult r = Exchange(Good());
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"error\":\"later\"}");
  EXPECT_EQ(Exchange(Good()).status, 200);
}

TEST_F(TokenTest, RevokeEndsEveryTokenOfTheUserWhileServing) {
  RunResult r = z_.Admin("revoke", {"ann"});
  EXPECT_NE(r.out.find(" of ann"), std::string::npos) << r.err;
  EXPECT_EQ(Str(ParseJson(Exchange(Good()).body), "error"), "invalid_grant");
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/plan%2Etxt").status, 401);
  EXPECT_EQ(Call(bob_, "GET", 1, "/docs/plan%2Etxt").status, 200);
  EXPECT_EQ(z_.Admin("revoke", {"nobody"}).exit_code, 1);
}

TEST_F(TokenTest, AddUserAgainReplacesTheRefreshToken) {
  RunResult again = z_.Admin("add-user", {"ann", "--mount", "3"});
  EXPECT_NE(again.err.find("exists; mounts added: 3"), std::string::npos) << again.err;
  EXPECT_EQ(Str(ParseJson(Exchange(Good()).body), "error"), "invalid_grant");
  auto fresh = Good();
  fresh[1].second = again.out.substr(0, 40);
  EXPECT_EQ(Exchange(fresh).status, 200);
}

class ShortTokenTest : public ServiceTest {
 protected:
  void SetUp() override { Prepare({"--token-ttl", "1"}); }
};

TEST_F(ShortTokenTest, AccessTokensExpireAndAreExchangedAgain) {
  EXPECT_EQ(Call(ann_, "GET", 1, "/docs/plan%2Etxt").status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  HttpResult stale = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
  EXPECT_EQ(stale.status, 401);
  EXPECT_GT(Num(ParseJson(stale.body), "error_code"), 0);
  const std::string fresh = z_.AccessToken(ann_refresh_);
  EXPECT_EQ(Call(fresh, "GET", 1, "/docs/plan%2Etxt").status, 200);
}

}  // namespace
}  // namespace zelmic_test
