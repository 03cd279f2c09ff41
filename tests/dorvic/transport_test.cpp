// The request cycle's outcomes: statuses, redirects, transport failures, proxies, the last error.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "common/result_codes.h"
#include "dorvic/src/client.h"
#include "dorvic/src/operations.h"
#include "tests/dorvic/http_fixture.h"
#include "tests/dorvic/refusing_port.h"

namespace dorvic_test {
namespace {

using namespace dorvic;

class Transport : public ::testing::Test {
 protected:
  Transport() {
    client.SetHost(server.whost());
    client.SetSecret(L"k");
  }
  bool Delete(int32_t* version) { return DelFile(client, L"tok", L"/f", 0, *version); }
  int32_t Code(std::wstring* message) { return client.GetLastError(message); }

  HttpFixture server;
  CdorvicClient client;
};

TEST_F(Transport, NoFailureYet) {
  std::wstring message = L"x";
  EXPECT_EQ(Code(&message), 0);
  EXPECT_EQ(message, L"");
  EXPECT_EQ(client.GetLastErrorCode(), 0);
}

TEST_F(Transport, StatusRules) {
  int32_t version = 1;
  std::wstring message;

  server.Script({404, ""});
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 404);
  EXPECT_EQ(message, L"");

  server.Script({404, R"({"error_msg": "\u6587\u4ef6\u4e0d\u5b58\u5728"})"});
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 404);
  EXPECT_EQ(message, L"\u6587\u4ef6\u4e0d\u5b58\u5728");

  server.Script({500, R"({"error_code": 0, "error_msg": 5})"});  // the message is emptied first
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 500);
  EXPECT_EQ(message, L"");

  server.Script({403, R"({"error_code": 40001, "error_msg": "denied"})"});
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 40001);
  EXPECT_EQ(message, L"denied");

  server.Script({201, R"({"version": 9})"});  // only 200 itself is success
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 201);
  server.Script({204, ""});
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(Code(&message), 204);
  EXPECT_EQ(version, 1);

  // Success changes nothing of the last error.
  server.Script({200, "not json"});
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(version, 1);
  EXPECT_EQ(Code(&message), 204);
  server.Script({200, R"({"version": 9})"});
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(version, 9);
  EXPECT_EQ(Code(&message), 204);
}

TEST_F(Transport, RedirectIsTheAnswerAndIsNotFollowed) {
  // The signed request carries the token: it never goes on to the host a redirect names.
  HttpFixture elsewhere;
  server.Script({302, "", {{"Location", "http://" + elsewhere.host() + "/final"}}});
  int32_t version = 1;
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(client.GetLastErrorCode(), 302);
  EXPECT_EQ(version, 1);
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(elsewhere.request_count(), 0u);

  // An error code in the redirect's body wins over its status.
  server.Script({301, R"({"error_code": 77})", {{"Location", "/moved"}}});
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(client.GetLastErrorCode(), 77);
  EXPECT_EQ(server.request_count(), 2u);
}

TEST_F(Transport, RefusedConnectionKeepsMessage) {
  server.Script({400, R"({"error_msg": "earlier"})"});
  int32_t version = 0;
  EXPECT_FALSE(Delete(&version));
  RefusingPort refusing;
  ASSERT_NE(refusing.port(), 0);
  client.SetHost(refusing.whost());
  EXPECT_FALSE(Delete(&version));
  std::wstring message;
  EXPECT_EQ(Code(&message), plumet_codes::kTransportFailure);
  EXPECT_EQ(message, L"earlier");
}

TEST_F(Transport, EmptyHostIsATransportFailure) {
  client.SetHost(L"");
  int32_t version = 0;
  EXPECT_FALSE(Delete(&version));
  EXPECT_EQ(client.GetLastErrorCode(), plumet_codes::kTransportFailure);
  EXPECT_EQ(server.request_count(), 0u);
}

TEST_F(Transport, LineBreaksInHeaderValuesAreNotSent) {
  int32_t size = 1;
  std::vector<dorvic_file_stx> files;
  EXPECT_FALSE(ListFile(client, L"tok", L"/", 0, 0, 0, size, L"name\r\nX-Injected: 1", files));
  EXPECT_EQ(client.GetLastErrorCode(), plumet_codes::kTransportFailure);
  EXPECT_FALSE(ListFile(client, L"tok\nX-Injected: 1", L"/", 0, 0, 0, size, L"", files));
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_EQ(size, 1);
  EXPECT_TRUE(ListFile(client, L"tok", L"/", 0, 0, 0, size, L"name", files));
}

TEST_F(Transport, TimeOutIsATransportFailure) {
  client.SetTransferLimits({1, 1});
  server.Script({200, R"({"version": 3})", {}, 2500});
  int32_t version = 0;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(Delete(&version));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(client.GetLastErrorCode(), plumet_codes::kTransportFailure);
  EXPECT_EQ(version, 0);
  EXPECT_LT(took, std::chrono::milliseconds(2400));
}

TEST(TransportHandle, MissingHandleFailsEveryOperation) {
  HttpFixture server;
  CdorvicClient client(nullptr);
  client.SetHost(server.whost());
  int32_t size = 5;
  std::vector<dorvic_file_stx> files;
  EXPECT_FALSE(ListFile(client, L"t", L"/", 0, 0, 0, size, L"", files));
  EXPECT_EQ(client.GetLastErrorCode(), plumet_codes::kTransportFailure);
  EXPECT_FALSE(LockFile(client, L"t", L"/", 0, true));
  EXPECT_EQ(size, 5);
  EXPECT_EQ(server.request_count(), 0u);
}

// Environment proxies must never be used: the fixture stands in for one.
class EnvironmentProxy : public Transport {
 protected:
  void SetUp() override {
    const std::string url = "http://" + proxy.host();
    for (const char* name : kNames) setenv(name, url.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  void TearDown() override {
    for (const char* name : kNames) unsetenv(name);
  }
  static constexpr const char* kNames[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                           "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};
  HttpFixture proxy;
};

TEST_F(EnvironmentProxy, NoNetworkInfoGoesDirect) {
  int32_t version = 0;
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(proxy.request_count(), 0u);
}

TEST_F(EnvironmentProxy, NoProxyOfTheEnvironmentKeepsTheConfiguredProxy) {
  setenv("no_proxy", "*", 1);
  setenv("NO_PROXY", "*", 1);
  HttpFixture configured;
  dorvic_info_stx info;
  info.useProxy = true;
  info.proxyHost = L"127.0.0.1";
  info.proxyPort = configured.port();
  client.SetNetworkInfo(&info);
  int32_t version = 0;
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(configured.request_count(), 1u);
  EXPECT_EQ(server.request_count(), 0u);
  EXPECT_EQ(proxy.request_count(), 0u);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
}

TEST_F(EnvironmentProxy, UnusedProxyRecordGoesDirect) {
  dorvic_info_stx info;
  info.useProxy = false;
  info.proxyHost = L"127.0.0.1";
  info.proxyPort = proxy.port();
  client.SetNetworkInfo(&info);
  int32_t version = 0;
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_EQ(proxy.request_count(), 0u);
}

TEST_F(Transport, ConfiguredProxyCarriesRequestAndCredentials) {
  HttpFixture proxy;
  proxy.Script({200, R"({"version": 4})"});
  dorvic_info_stx info;
  info.useProxy = true;
  info.proxyType = 0;  // HTTP proxy
  info.proxyHost = L"127.0.0.1";
  info.proxyPort = proxy.port();
  info.proxyUser = L"u";
  info.proxyPassword = L"p\u00e9";
  client.SetNetworkInfo(&info);
  int32_t version = 0;
  EXPECT_TRUE(Delete(&version));
  EXPECT_EQ(version, 4);
  EXPECT_EQ(server.request_count(), 0u);
  const auto seen = proxy.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "http://" + server.host() + "/f");
  EXPECT_EQ(seen[0].Header("Proxy-Authorization"), "Basic dTpww6k=");  // "u:p\xC3\xA9"

  // Without a user no credentials are sent.
  info.proxyUser.clear();
  EXPECT_TRUE(Delete(&version));
  const auto again = proxy.requests();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_FALSE(again[1].HasHeader("Proxy-Authorization"));
}

}  // namespace
}  // namespace dorvic_test
