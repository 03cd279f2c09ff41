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

// One name, one file: a name sent decomposed is the file of the same name sent composed, and a
// name that displays as another (bidirectional controls) is refused like any other invalid name.
TEST_F(BadInputTest, NamesHaveOneSpellingAndNoBidiControls) {
  const std::string local = z_.tmp_dir() + "/menu.txt";
  ASSERT_TRUE(WriteFile(local, "menu"));
  z_.Put(1, local, "/docs/cafe\xCC\x81.txt");  // decomposed
  for (const char* path : {"/docs/caf%C3%A9%2Etxt", "/docs/cafe%CC%81%2Etxt"})
    EXPECT_EQ(Call(ann_, "GET", 1, path).status, 200) << path;
  EXPECT_EQ(Num(ParseJson(Call(ann_, "LIST", 1, "/docs").body), "count"), 2);
  const std::vector<std::string> put = {"x-zm-filehash: " + std::string(40, 'a'),
                                        "x-zm-filesize: 1"};
  const HttpResult control = Call(ann_, "PUT", 1, "/docs/x%01y", put);
  ASSERT_EQ(control.status, 400);
  for (const char* path :
       {"/docs/gpj%E2%80%AE%2Eexe", "/docs/a%E2%81%A6b", "/docs/a%E2%80%8Fb", "/docs/a%D8%9Cb"}) {
    HttpResult r = Call(ann_, "PUT", 1, path, put);
    EXPECT_EQ(r.status, control.status) << path;
    EXPECT_EQ(Num(ParseJson(r.body), "error_code"), Num(ParseJson(control.body), "error_code"))
        << path;
  }
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

// Heads two parsers could frame differently: each is refused with 400 and its connection closed,
// on every listener, so the request hidden after it is never answered.
TEST_F(BadInputTest, AmbiguousFramingIs400AndEndsTheConnection) {
  struct Row {
    const char* name;
    const char* lines;  // header lines after Host and Content-Type, each ending in CRLF
  };
  const Row rows[] = {
      {"length and chunked", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"},
      {"chunked and length", "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"},
      {"two lengths", "Content-Length: 0\r\nContent-Length: 5\r\n"},
      {"the same length twice", "Content-Length: 0\r\nContent-Length: 0\r\n"},
      {"a coding before chunked", "Transfer-Encoding: gzip, chunked\r\n"},
      {"chunked twice", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"},
      {"space before the colon", "Transfer-Encoding : chunked\r\n"},
      {"a folded line", "X-Note: a\r\n Transfer-Encoding: chunked\r\nContent-Length: 0\r\n"},
      {"CR inside a value", "X-Note: a\rb\r\nTransfer-Encoding: chunked\r\n"},
  };
  const std::pair<uint16_t, const char*> listeners[] = {{z_.api_port(), "/"},
                                                        {z_.token_port(), "/oauth/token"},
                                                        {z_.upload_port(), "/upload_req"},
                                                        {z_.web_port(), "/login"}};
  const std::string hidden = "GET /hidden HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (const auto& [port, target] : listeners) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(target) + ": " + row.name);
      const std::string raw = std::string("POST ") + target +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Content-Type: application/x-www-form-urlencoded\r\n" +
                              row.lines + "\r\n0\r\n\r\n" + hidden;
      const std::string answer = RawHttp(port, raw, 3000);
      EXPECT_EQ(RawStatus(answer), 400) << answer;
      size_t answers = 0;
      for (size_t at = answer.find("HTTP/1."); at != std::string::npos;
           at = answer.find("HTTP/1.", at + 1))
        ++answers;
      EXPECT_EQ(answers, 1u) << "the hidden request was answered: " << answer;
    }
  }
  ExpectUnchanged();
}

}  // namespace
}  // namespace zelmic_test
