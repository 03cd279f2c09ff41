// `serve --tls-cert F --tls-key F`: every listener speaks HTTPS, the answers name https
// locations, and the login cookie is marked Secure.
#include <curl/curl.h>

#include "common/endpoints.h"
#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

class TlsTest : public ServiceTest {
 protected:
  void SetUp() override {
    cert_ = z_.tmp_dir() + "/cert.pem";
    key_ = z_.tmp_dir() + "/key.pem";
    RunResult made = RunProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                 "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                                 "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                 "-keyout", key_, "-out", cert_});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    Prepare({"--tls-cert", cert_, "--tls-key", key_});
  }
  // A request that trusts only the test certificate.
  HttpResult Https(const std::string& method, const std::string& url,
                   const std::vector<std::string>& lines = {}, const std::string& body = {}) {
    HttpResult r;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const auto& l : lines) list = curl_slist_append(list, l.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    if (!body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_CAINFO, cert_.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    auto append = +[](char* d, size_t s, size_t n, void* t) {
      static_cast<std::string*>(t)->append(d, s * n);
      return s * n;
    };
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    if (curl_easy_perform(curl) == CURLE_OK)
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return r;
  }
  std::string cert_, key_;
};

TEST_F(TlsTest, EveryListenerSpeaksHttps) {
  const std::string web = z_.web_base();
  ASSERT_EQ(web.rfind("https://", 0), 0u);
  EXPECT_EQ(Https("GET", web + "/").status, 200);
  EXPECT_EQ(HttpRequest("GET", "http://127.0.0.1:" + std::to_string(z_.web_port()) + "/").status, 0)
      << "no plain HTTP on a TLS listener";
  EXPECT_EQ(Https("POST", "https://127.0.0.1:" + std::to_string(z_.upload_port()) + "/upload_req",
                  {"x-zm-upload-session: none"})
                .status,
            401);
  HttpResult login = Https("POST", web + "/login",
                           {"Content-Type: application/x-www-form-urlencoded", OriginHeader(web)},
                           "user=ann&password=" + UrlEncode(kAnnPassword));
  EXPECT_EQ(login.status, 303);
  EXPECT_NE(login.headers.find("; Secure"), std::string::npos) << login.headers;
  // The REST answers name https locations of this server.
  const std::string date = RequestDate();
  HttpResult get = Https("GET", "https://" + z_.api_host() + "/docs/plan%2Etxt",
                         {"x-zm-mount: 1", "Date: " + date,
                          "Authorization: " + SignRequest(plumet_defaults::kClientSecret, ann_,
                                                          "GET", date, 1, "/docs/plan%2Etxt")});
  ASSERT_EQ(get.status, 200) << get.body;
  const std::string uri = Str(ParseJson(get.body), "uri");
  EXPECT_EQ(uri.rfind(web + "/download/", 0), 0u) << uri;
  EXPECT_EQ(Https("GET", uri).body, kPlan);
}

// TLS 1.0 and 1.1 are refused by the server: the client offers them (its own floor lowered), sends
// its hello and reads nothing back; 1.2 and 1.3 are taken. Every page answer pins the browser to
// HTTPS.
TEST_F(TlsTest, OnlyTls12AndNewerAndThePageAsksForHttpsOnly) {
  const std::pair<const char*, bool> versions[] = {
      {"-tls1", false}, {"-tls1_1", false}, {"-tls1_2", true}, {"-tls1_3", true}};
  for (const auto& [version, taken] : versions) {
    SCOPED_TRACE(version);
    RunResult r = RunProgram(
        {"/usr/bin/openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(z_.web_port()),
         version, "-cipher", "DEFAULT@SECLEVEL=0", "-CAfile", cert_},
        20);
    EXPECT_EQ(r.out.find("Cipher is (NONE)") == std::string::npos, taken) << r.out << r.err;
    if (!taken) {
      EXPECT_EQ(r.err.find("no protocols available"), std::string::npos) << r.err;
      EXPECT_NE(r.out.find("handshake has read 0 bytes and written "), std::string::npos) << r.out;
      EXPECT_EQ(r.out.find("written 0 bytes"), std::string::npos) << r.out;
    }
  }
  HttpResult page = Https("GET", z_.web_base() + "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.headers.find("Strict-Transport-Security: max-age="), std::string::npos)
      << page.headers;
}

// --listen names the address of every listener, and only a server with a certificate may leave
// loopback; without one it is a usage error like the others.
TEST_F(TlsTest, ListenNeedsACertificate) {
  ZelmicProcess plain;
  RunResult refused = plain.Admin("serve", {"--listen", "127.0.0.1"});
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_EQ(refused.err.rfind("zelmicd: --listen needs --tls-cert and --tls-key", 0), 0u)
      << refused.err;
  ZelmicProcess served;
  ASSERT_TRUE(served.Start({"--tls-cert", cert_, "--tls-key", key_, "--listen", "127.0.0.1"}));
  EXPECT_EQ(Https("GET", "https://127.0.0.1:" + std::to_string(served.web_port()) + "/").status,
            200);
}

}  // namespace
}  // namespace zelmic_test
