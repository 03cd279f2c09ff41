#pragma once
// zelmicd as users reach it: every listener behind nginx (TLS with a test CA, HTTP/2 offered or
// not), zelmicd naming the fronts in its answers, and tinyproxy as the user's proxy. Clients
// trust the CA through SSL_CERT_FILE only, set once for the whole test process before its first
// request (the programs read it once).

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "common/transport_settings.h"
#include "tests/support/loopback_front.h"
#include "tests/support/zelmic_process.h"

namespace transport_test {

// The test CA of this process, made at first use; SSL_CERT_FILE names it from then on. Its
// folder goes at exit.
inline const zelmic_test::TestCertificates& Certificates() {
  static const zelmic_test::TestCertificates certs;
  static const bool exported =
      certs.ok() && setenv("SSL_CERT_FILE", certs.ca_file().c_str(), 1) == 0;
  (void)exported;
  return certs;
}

struct FrontConfig {
  bool http2 = true;      // nginx offers HTTP/2
  bool viaProxy = true;   // clients go through tinyproxy (CONNECT)
  const char* name = "";  // for the test names
};

inline std::string PrintConfig(const ::testing::TestParamInfo<FrontConfig>& info) {
  return info.param.name;
}

// Test names and ctest names show the configuration by its name.
inline void PrintTo(const FrontConfig& config, std::ostream* out) { *out << config.name; }

class FrontedService {
 public:
  // Starts zelmicd on chosen loopback ports, nginx in front of each listener and tinyproxy.
  void Start(const FrontConfig& config) {
    config_ = config;
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(Certificates().ok()) << "openssl could not make the test CA";
    const uint16_t api = zelmic_test::FreeLoopbackPort(), token = zelmic_test::FreeLoopbackPort(),
                   upload = zelmic_test::FreeLoopbackPort(), web = zelmic_test::FreeLoopbackPort();
    apiFront_ = front_.Add(api, config.http2);
    tokenFront_ = front_.Add(token, config.http2);
    uploadFront_ = front_.Add(upload, config.http2);
    webFront_ = front_.Add(web, config.http2);
    ASSERT_TRUE(front_.Start(Certificates())) << front_.log();
    ASSERT_TRUE(proxy_.Start()) << "tinyproxy did not start";
    refresh_ = zelmic.AddUser("ann", {1});
    ASSERT_FALSE(refresh_.empty());
    ASSERT_TRUE(zelmic.Start({"--api-port", std::to_string(api), "--token-port",
                              std::to_string(token), "--upload-port", std::to_string(upload),
                              "--web-port", std::to_string(web), "--upload-url",
                              Https(uploadFront_), "--web-url", Https(webFront_), "--faults"}));
    settings_.caFile = Certificates().ca_file();
    if (config.viaProxy) settings_.httpsProxy = proxy_.url();
  }

  static std::string Https(uint16_t port) { return "https://127.0.0.1:" + std::to_string(port); }
  std::string ApiUrl() const { return Https(apiFront_); }
  std::string TokenUrl() const { return Https(tokenFront_); }
  std::string UploadUrl() const { return Https(uploadFront_); }
  std::string WebUrl() const { return Https(webFront_); }

  // The settings a user's environment would give: the CA, and the proxy when one is used.
  const plumet_transport::TransportSettings& settings() const { return settings_; }
  const FrontConfig& config() const { return config_; }
  const std::string& refresh() const { return refresh_; }
  zelmic_test::ForwardProxy& proxy() { return proxy_; }
  zelmic_test::NginxFront& front() { return front_; }

  // A request the way the program's own paths make it (token exchange, download).
  struct Reply {
    long status = 0;
    long version = 0;  // HTTP version libcurl used (CURL_HTTP_VERSION_*)
    CURLcode result = CURLE_OK;
    std::string body;
  };
  Reply Request(const std::string& url, const std::string& form = "",
                plumet_transport::Redirects redirects = plumet_transport::Redirects::kRefused,
                const std::string& header = "") {
    Reply reply;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return reply;
    curl_slist* headers = header.empty() ? nullptr : curl_slist_append(nullptr, header.c_str());
    if (headers != nullptr) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    plumet_transport::ApplyTransportSettings(curl, url, settings_, redirects);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    if (!form.empty()) curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, form.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    reply.result = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &reply.version);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return reply;
  }

  // The token exchange through the front.
  std::string AccessToken() {
    const std::string form = std::string("grant_type=refresh_token&refresh_token=") + refresh_ +
                             "&client_id=a3f18d0c72e94b5d16c8e2f07b9a4d35"
                             "&client_secret=5e0b7c3a9d21f4e86a0c5b7d3e9f1a24";
    Reply r = Request(TokenUrl() + "/oauth/token", form);
    const size_t at = r.body.find("\"access_token\":\"");
    if (r.status != 200 || at == std::string::npos) return {};
    const size_t start = at + 16;
    return r.body.substr(start, r.body.find('"', start) - start);
  }

  zelmic_test::ZelmicProcess zelmic;

 private:
  static size_t Append(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
  }

  FrontConfig config_;
  zelmic_test::NginxFront front_;
  zelmic_test::ForwardProxy proxy_;
  uint16_t apiFront_ = 0, tokenFront_ = 0, uploadFront_ = 0, webFront_ = 0;
  std::string refresh_;
  plumet_transport::TransportSettings settings_;
};

}  // namespace transport_test
