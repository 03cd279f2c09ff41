// The transport settings: what the environment gives, which proxy a URL goes through, and that
// the options reach a real transfer (proxy chosen, no_proxy of the environment not consulted).

#include "common/transport_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/dorvic_network.h"
#include "tests/support/loopback_front.h"

namespace transport_test {
namespace {

using plumet_transport::ProxyFor;
using plumet_transport::TransportSettings;

TEST(TransportSettings, ReadsTheUsersVariables) {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy",
                           "NO_PROXY", "SSL_CERT_FILE"}) {
    unsetenv(name);
  }
  setenv("HTTPS_PROXY", "http://upper:1", 1);
  setenv("HTTP_PROXY", "http://never:2", 1);  // may come from a request header in CGI programs
  setenv("NO_PROXY", "internal", 1);
  setenv("SSL_CERT_FILE", "/etc/private-ca.pem", 1);
  TransportSettings s = plumet_transport::ReadEnvironment();
  EXPECT_EQ(s.httpsProxy, "http://upper:1");
  EXPECT_EQ(s.httpProxy, "");
  EXPECT_EQ(s.noProxy, "internal");
  EXPECT_EQ(s.caFile, "/etc/private-ca.pem");
  setenv("https_proxy", "http://lower:3", 1);
  setenv("http_proxy", "http://plain:4", 1);
  setenv("no_proxy", "", 1);  // empty counts as unset
  s = plumet_transport::ReadEnvironment();
  EXPECT_EQ(s.httpsProxy, "http://lower:3");
  EXPECT_EQ(s.httpProxy, "http://plain:4");
  EXPECT_EQ(s.noProxy, "internal");
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "no_proxy",
                           "NO_PROXY", "SSL_CERT_FILE"}) {
    unsetenv(name);
  }
}

TEST(TransportSettings, ProxyForAUrl) {
  TransportSettings s;
  s.httpsProxy = "http://secure-proxy:3128";
  s.httpProxy = "plain-proxy:8080";
  s.noProxy = "localhost, .corp.example,10.1.2.3,[::1]";
  const struct {
    const char* url;
    const char* proxy;
  } cases[] = {
      {"https://api.example.com/x", "http://secure-proxy:3128"},
      {"http://api.example.com", "plain-proxy:8080"},
      {"api.example.com:80/x", "plain-proxy:8080"},  // no scheme: http, as libcurl reads it
      {"https://LOCALHOST:8443/", ""},
      {"https://files.corp.example/", ""},
      {"https://corp.example/", ""},
      {"https://notcorp.example/", "http://secure-proxy:3128"},
      {"https://10.1.2.3/", ""},
      {"https://10.1.2.30/", "http://secure-proxy:3128"},
      {"https://[::1]:9/", ""},
      {"ftp://api.example.com/", ""},
      {"https://bad host/", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProxyFor(s, c.url), c.proxy) << c.url;
  s.noProxy = "*";
  EXPECT_EQ(ProxyFor(s, "https://api.example.com/"), "");

  // The REST library's record names the same proxy.
  s.noProxy = "localhost";
  dorvic_info_stx info = plumet_transport::DorvicNetworkInfo(s, "https://api.example.com");
  EXPECT_TRUE(info.useProxy);
  EXPECT_EQ(info.proxyHost, L"http://secure-proxy:3128");
  EXPECT_FALSE(plumet_transport::DorvicNetworkInfo(s, "https://localhost:1").useProxy);
}

TEST(TransportSettings, TheChosenProxyCarriesTheRequestWhateverTheEnvironmentSays) {
  zelmic_test::ForwardProxy proxy;
  ASSERT_TRUE(proxy.Start());
  // The environment sends everything direct and names a proxy that refuses; the settings win.
  setenv("no_proxy", "*", 1);
  setenv("http_proxy", "http://127.0.0.1:1", 1);
  TransportSettings s;
  s.httpProxy = proxy.url();
  const std::string url = "http://127.0.0.1:1/";  // nobody listens: the proxy answers 5xx itself
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  plumet_transport::ApplyTransportSettings(curl, url, s);
  curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  unsetenv("no_proxy");
  unsetenv("http_proxy");
  EXPECT_EQ(result, CURLE_OK);
  EXPECT_GE(status, 500);  // from tinyproxy: a direct attempt would have failed to connect
}

}  // namespace
}  // namespace transport_test
