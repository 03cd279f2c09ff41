// dorvicctl and the token exchange against zelmicd behind nginx (TLS, HTTP/2) and tinyproxy, as
// separate processes trusting the test CA through SSL_CERT_FILE. Every call is a new process, so
// every call through the proxy begins with the tunnel's own "200 Connection established".

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/transport/tls_fixture.h"

namespace transport_test {
namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

class DorvicctlThroughFront : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(service.Start({true, true, "Http2ViaProxy"}));
    const std::string local = service.zelmic.tmp_dir() + "/plan.txt";
    ASSERT_TRUE(zelmic_test::WriteFile(local, "the plan\n"));
    service.zelmic.Put(1, local, "/docs/plan.txt");
    access = service.AccessToken();
    ASSERT_FALSE(access.empty());
  }

  struct Outcome {
    int exit_code;
    Json json;
    std::string text;
  };
  Outcome Ctl(const std::vector<std::string>& words, const std::string& token,
              bool via_proxy = true) {
    std::vector<std::string> argv = {DORVICCTL_PATH, "--host", service.ApiUrl(), "--token", token,
                                     "--mount",      "1"};
    if (via_proxy) {
      const std::string port = std::to_string(service.proxy().port());
      argv.insert(argv.end(), {"--proxy-host", "127.0.0.1", "--proxy-port", port});
    }
    argv.insert(argv.end(), words.begin(), words.end());
    zelmic_test::RunResult r = zelmic_test::RunProgram(argv);
    return {r.exit_code, Json(cJSON_Parse(r.out.c_str()), &cJSON_Delete), r.out + r.err};
  }
  static double Number(const Json& j, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(j.get(), name);
    return cJSON_IsNumber(item) ? item->valuedouble : -1;
  }

  FrontedService service;
  std::string access;
};

TEST_F(DorvicctlThroughFront, ServiceAnswersAreNotTheProxys) {
  struct Case {
    const char* what;
    std::vector<std::string> words;
    bool bogus_token;
    int exit_code;
    double error_code;
  };
  const Case cases[] = {
      {"get", {"get", "/docs/plan.txt"}, false, 0, 0},
      {"get of a missing file", {"get", "/docs/none.txt"}, false, 1, 40400},
      {"delete with a bogus token", {"delete", "/docs/plan.txt"}, true, 1, 40100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int tunnels = service.proxy().ConnectCount();
    Outcome out = Ctl(c.words, c.bogus_token ? std::string(40, 'a') : access);
    ASSERT_TRUE(out.json) << out.text;
    EXPECT_EQ(out.exit_code, c.exit_code) << out.text;
    const double code = Number(out.json, "error_code");
    EXPECT_TRUE(c.error_code == 0 ? code == 0 : code >= c.error_code && code < c.error_code + 100)
        << out.text;
    EXPECT_EQ(service.proxy().ConnectCount(), tunnels + 1);
  }
  // The delete was refused: the file is still there.
  EXPECT_EQ(Ctl({"get", "/docs/plan.txt"}, access).exit_code, 0);
}

TEST_F(DorvicctlThroughFront, CertificatesAreVerifiedAndTrustedThroughTheVariableOnly) {
  const std::string ca = getenv("SSL_CERT_FILE");
  unsetenv("SSL_CERT_FILE");
  Outcome untrusted = Ctl({"get", "/docs/plan.txt"}, access, false);
  setenv("SSL_CERT_FILE", ca.c_str(), 1);
  EXPECT_EQ(untrusted.exit_code, 1) << untrusted.text;
  EXPECT_EQ(Ctl({"get", "/docs/plan.txt"}, access, false).exit_code, 0);
}

TEST_F(DorvicctlThroughFront, NoProxyOfTheEnvironmentDoesNotBypassTheGivenProxy) {
  setenv("no_proxy", "*", 1);
  const int tunnels = service.proxy().ConnectCount();
  Outcome out = Ctl({"get", "/docs/plan.txt"}, access);
  unsetenv("no_proxy");
  EXPECT_EQ(out.exit_code, 0) << out.text;
  EXPECT_EQ(service.proxy().ConnectCount(), tunnels + 1);
}

TEST_F(DorvicctlThroughFront, TokenExchangeAndDownloadThroughTheProxy) {
  // The fixture's token exchange went through the proxy already; a refused one must read so.
  ASSERT_TRUE(service.zelmic.Script(
      R"({"endpoint":"/oauth/token","kind":"status","status":401,"body":"{}"})"));
  FrontedService::Reply refused =
      service.Request(service.TokenUrl() + "/oauth/token", "grant_type=refresh_token");
  EXPECT_EQ(refused.status, 401);
  Outcome get = Ctl({"get", "/docs/plan.txt"}, access);
  ASSERT_TRUE(get.json) << get.text;
  const cJSON* uri = cJSON_GetObjectItemCaseSensitive(
      cJSON_GetObjectItemCaseSensitive(get.json.get(), "file"), "uri");
  ASSERT_TRUE(cJSON_IsString(uri)) << get.text;
  FrontedService::Reply download =
      service.Request(uri->valuestring, "", plumet_transport::Redirects::kFollowed);
  EXPECT_EQ(download.status, 200);
  EXPECT_EQ(download.body, "the plan\n");
  EXPECT_EQ(download.version, CURL_HTTP_VERSION_2_0);
}

}  // namespace
}  // namespace transport_test
