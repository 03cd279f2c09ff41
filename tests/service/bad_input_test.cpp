// Hostile or broken requests: each gets a clear 4xx and changes nothing.
#include "common/endpoints.h"
#include "tests/service/service_fixture.h"

namespace zelmic_test {
namespace {

class BadInputTest : public ServiceTest {
 protected:
  // Nothing was stored: mount 1 still holds exactly /docs/plan.txt with one version and no
  // messages, and no upload was registered for /docs/x.
  void ExpectUnchanged() {
    HttpResult list = Call(ann_, "LIST", 1, "/docs");
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(Num(ParseJson(list.body), "count"), 1) << list.body;
    HttpResult get = Call(ann_, "GET", 1, "/docs/plan%2Etxt");
    Json j = ParseJson(get.body);
    EXPECT_EQ(Num(j, "vcount"), 1);
    EXPECT_EQ(Num(j, "discuss"), 0);
    EXPECT_EQ(Call(ann_, "LIST", 1, "/").status, 200);
  }
  std::string SignedHead(const std::string& verb, const std::string& target, int mount = 1) {
    const std::string date = RequestDate();
    return verb + " " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nx-zm-mount: " + std::to_string(mount) +
           "\r\nDate: " + date + "\r\nAuthorization: " +
           SignRequest(plumet_defaults::kClientSecret, ann_, verb, date, mount, target) + "\r\n";
  }
};

TEST_F(BadInputTest, MalformedSignaturesAre401) {
  const std::string date = RequestDate();
  const std::string put_lines[] = {"x-zm-filehash: " + std::string(40, 'a'), "x-zm-filesize: 1"};
  const std::string path = "/docs/x";
  const std::vector<std::string> auths = {
      "",                                                                       // missing value
      ann_,                                                                     // no colon
      ann_ + ":",                                                               // no signature
      ann_ + ":AAAAAAAAAAAAAAAAAAAAAAAAAAA=",                                   // wrong
      SignRequest("wrong secret", ann_, "PUT", date, 1, path),                  // wrong key
      SignRequest(plumet_defaults::kClientSecret, ann_, "PUT", date, 2, path),  // other mount
      SignRequest(plumet_defaults::kClientSecret, ann_, "GET", date, 1, path),  // other verb
      SignRequest(plumet_defaults::kClientSecret, ann_, "PUT", date, 1, "/docs/y"),  // other path
      SignRequest(plumet_defaults::kClientSecret, "unknown-token", "PUT", date, 1, path),
  };
  for (const auto& auth : auths) {
    std::vector<std::string> headers = {"x-zm-mount: 1", "Date: " + date, put_lines[0],
                                        put_lines[1]};
    if (!auth.empty()) headers.push_back("Authorization: " + auth);
    HttpResult r = HttpRequest("PUT", "http://" + z_.api_host() + path, headers);
    EXPECT_EQ(r.status, 401) << auth;
    Json j = ParseJson(r.body);
    EXPECT_GT(Num(j, "error_code"), 0) << r.body;
    EXPECT_NE(Str(j, "error_msg"), "<missing>");
  }
  ExpectUnchanged();
}

TEST_F(BadInputTest, MalformedOrStaleDatesAreRefused) {
  for (const std::string& date :
       {std::string("yesterday"), std::string("Mon, 07 Dec 2026 14:05:09 GMT"),
        std::string("Mon, 07 Dec 99 14:05:09 GMT"), std::string("Thu, 01 Jan 70 00:00:00 GMT")}) {
    HttpResult r =
        HttpRequest("REMIND", "http://" + z_.api_host() + "/docs/plan%2Etxt",
                    {"x-zm-mount: 1", "Date: " + date, "x-zm-bool: 0",
                     "Authorization: " + SignRequest(plumet_defaults::kClientSecret, ann_, "REMIND",
                                                     date, 1, "/docs/plan%2Etxt")},
                    "message=hi");
    EXPECT_GE(r.status, 400) << date;
    EXPECT_LT(r.status, 500) << date;
  }
  HttpResult missing = HttpRequest("GET", "http://" + z_.api_host() + "/docs/plan%2Etxt",
                                   {"x-zm-mount: 1", "Authorization: x:y"});
  EXPECT_EQ(missing.status, 400);
  ExpectUnchanged();
}

TEST_F(BadInputTest, PathsThatLeaveTheMountAre400) {
  for (const char* path :
       {"/docs/%2E%2E/%2E%2E/etc/passwd", "/docs/../x", "/%2E%2E", "/docs%2Fx", "/docs/a%2fb",
        "/docs/x%00y", "/docs/x%0A", "/docs/%zz", "/docs/%C0%AE%C0%AE"}) {
    HttpResult r =
        Call(ann_, "PUT", 1, path, {"x-zm-filehash: " + std::string(40, 'a'), "x-zm-filesize: 1"});
    EXPECT_EQ(r.status, 400) << path << " " << r.body;
    EXPECT_GT(Num(ParseJson(r.body), "error_code"), 0) << path;
  }
  // A raw NUL byte in the request line never reaches a handler.
  std::string raw = SignedHead("GET", std::string("/docs/a\0b", 9)) + "\r\n";
  int status = RawStatus(RawHttp(z_.api_port(), raw));
  EXPECT_GE(status, 400);
  EXPECT_LT(status, 500);
  ExpectUnchanged();
}

TEST_F(BadInputTest, HeadersAndVerbsOutOfShape) {
  EXPECT_EQ(Call(ann_, "FROB", 1, "/docs/plan%2Etxt").status, 405);
  HttpResult mount =
      HttpRequest("GET", "http://" + z_.api_host() + "/",
                  {"x-zm-mount: one", "Date: " + RequestDate(), "Authorization: a:b"});
  EXPECT_EQ(mount.status, 400);
  EXPECT_EQ(Call(ann_, "LIST", 1, "/docs", {"x-zm-start: -1"}).status, 400);
  EXPECT_EQ(Call(ann_, "LIST", 1, "/docs", {"x-zm-size: 12abc"}).status, 400);
  // A header line far beyond any client's is refused by the listener.
  HttpResult huge =
      Call(ann_, "GET", 1, "/docs/plan%2Etxt", {"x-zm-filler: " + std::string(100000, 'x')});
  EXPECT_GE(huge.status, 400);
  EXPECT_LT(huge.status, 500);
  ExpectUnchanged();
}

TEST_F(BadInputTest, BodiesOverTheLimitOrLongerThanAnnouncedStoreNothing) {
  HttpResult big = Call(ann_, "REMIND", 1, "/docs/plan%2Etxt", {"x-zm-bool: 0"},
                        "message=" + std::string(200000, 'a'));
  EXPECT_EQ(big.status, 413);
  // Announced 5 bytes, sent more: the request holds a broken form, the rest is no request.
  std::string raw = SignedHead("REMIND", "/docs/plan%2Etxt") +
                    "x-zm-bool: 0\r\nContent-Length: 5\r\n\r\nmessage=smuggled&x=y";
  const std::string answer = RawHttp(z_.api_port(), raw, 2000);
  EXPECT_EQ(RawStatus(answer), 400) << answer;
  EXPECT_EQ(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
  // A body announced far beyond the limit is refused before it is read.
  std::string announced = SignedHead("REMIND", "/docs/plan%2Etxt") +
                          "x-zm-bool: 0\r\nContent-Length: 999999999\r\n\r\nmessage=x";
  EXPECT_EQ(RawStatus(RawHttp(z_.api_port(), announced, 2000)), 413);
  ExpectUnchanged();
}

}  // namespace
}  // namespace zelmic_test
