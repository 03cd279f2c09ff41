// The reading of upload answers: header map, identity check, what a status means, JSON and decimal
// bodies, and the formatting rules of the request lines (the status line and the UTF-8 codec are
// tested in tests/common/).

#include "upload/upload_http.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "upload/upload_protocol.h"
#include "upload/upload_task.h"

namespace plumet {
namespace {

TEST(ParseHeaderMap, SplitsAtCrlfAndColonSpaceLastWins) {
  auto map =
      ParseHeaderMap("HTTP/1.1 200 OK\r\nA: 1\r\nB: x: y\r\nNoSpace:z\r\na: 2\r\n\r\nC: \r\n");
  EXPECT_EQ("2", map["a"]);       // names in any case are one name
  EXPECT_EQ(0u, map.count("b"));  // a value that itself holds ": "
  EXPECT_EQ(0u, map.count("nospace:z"));
  EXPECT_EQ(0u, map.count("nospace"));
  EXPECT_EQ(0u, map.count("c"));  // "C: " splits into one part only
  EXPECT_EQ(1u, map.size());
  // Only the final answer's lines count.
  map = ParseHeaderMap(
      "HTTP/1.1 200 Connection established\r\nVia: proxy\r\n\r\n"
      "HTTP/2 200\r\nContent-Type: text/plain\r\n\r\n");
  EXPECT_EQ(0u, map.count("via"));
  EXPECT_EQ("text/plain", map["content-type"]);
}

TEST(CheckServerHeader, DemandsTheNameInAnyCaseAndTheExactValue) {
  const std::string ok = "HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC\r\n\r\n";
  EXPECT_TRUE(CheckServerHeader(ok));
  EXPECT_TRUE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-Server: ZELMIC\r\n\r\n"));
  EXPECT_TRUE(CheckServerHeader("HTTP/2 200\r\nx-server: ZELMIC\r\n\r\n"));  // HTTP/2
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-SERVER: zelmic\r\n\r\n"));
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC \r\n\r\n"));
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-SERVER:ZELMIC\r\n\r\n"));
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_TRUE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-SERVER: no\r\nX-SERVER: ZELMIC\r\n\r\n"));
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC\r\nX-SERVER: other\r\n\r\n"));
  // Lone line feeds make one segment: no header named X-SERVER is found.
  EXPECT_FALSE(CheckServerHeader("HTTP/1.1 200 OK\nX-SERVER: ZELMIC\n\n"));
}

TEST(EvaluateAnswer, SetsTheResultCode) {
  std::recursive_mutex lock;
  CUploadTask task(UploadJob{}, lock, nullptr);
  EXPECT_FALSE(
      EvaluateAnswer(task, CURLE_COULDNT_CONNECT, "HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC\r\n"));
  EXPECT_EQ(10061, task.status);
  EXPECT_FALSE(EvaluateAnswer(task, CURLE_OK, ""));
  EXPECT_EQ(0, task.status);
  EXPECT_FALSE(EvaluateAnswer(task, CURLE_OK, "HTTP/1.1 409 Conflict\r\n\r\n"));
  EXPECT_EQ(409, task.status);
  EXPECT_FALSE(EvaluateAnswer(task, CURLE_OK, "HTTP/1.1 200 OK\r\nServer: other\r\n\r\n"));
  EXPECT_EQ(500, task.status);
  // Through a proxy: the tunnel's 200 is not the server's answer.
  EXPECT_FALSE(EvaluateAnswer(task, CURLE_OK,
                              "HTTP/1.1 200 Connection established\r\n\r\n"
                              "HTTP/1.1 401 Unauthorized\r\nX-SERVER: ZELMIC\r\n\r\n"));
  EXPECT_EQ(401, task.status);
  EXPECT_TRUE(EvaluateAnswer(task, CURLE_OK, "HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC\r\n\r\n"));
  EXPECT_EQ(200, task.status);
}

TEST(EvaluateAnswer, SuccessStatusesCountOnlyFromTheUploadServer) {
  struct Case {
    const char* head;
    int32_t status;
    bool unidentified;
  };
  std::recursive_mutex lock;
  CUploadTask task(UploadJob{}, lock, nullptr);
  for (const Case& c : {Case{"HTTP/1.1 202 Accepted\r\n\r\n", 500, true},
                        Case{"HTTP/1.1 205 Reset Content\r\nServer: x\r\n\r\n", 500, true},
                        Case{"HTTP/1.1 202 Accepted\r\nX-SERVER: ZELMIC\r\n\r\n", 202, false},
                        Case{"HTTP/1.1 503 Busy\r\n\r\n", 503, false}}) {
    SCOPED_TRACE(c.head);
    EXPECT_FALSE(EvaluateAnswer(task, CURLE_OK, c.head));
    EXPECT_EQ(c.status, task.status);
    EXPECT_EQ(c.unidentified, task.unidentifiedAnswer);
  }
}

TEST(AppendToString, TakesEverything) {
  std::string target = "a";
  char data[] = {'b', '\0', 'c', 'd'};
  EXPECT_EQ(4u, AppendToString(data, 2, 2, &target));
  EXPECT_EQ(std::string("ab\0cd", 5), target);
}

TEST(ReadInitAnswer, TakesSessionAndPiecelen) {
  std::string session = "old";
  int64_t blockSize = 9;
  ReadInitAnswer("{\"session\":\"abc\",\"piecelen\":4096}", session, blockSize);
  EXPECT_EQ("abc", session);
  EXPECT_EQ(4096, blockSize);

  ReadInitAnswer("{\"session\":7}", session, blockSize);
  EXPECT_EQ("abc", session);
  EXPECT_EQ(4096, blockSize);

  ReadInitAnswer("{\"piecelen\":true}", session, blockSize);
  EXPECT_EQ(1, blockSize);
  ReadInitAnswer("{\"piecelen\":\"4096\"}", session, blockSize);
  EXPECT_EQ(0, blockSize);
  ReadInitAnswer("{\"piecelen\":-1}", session, blockSize);
  EXPECT_EQ(-1, blockSize);

  // Leading white space or no object: nothing changes.
  ReadInitAnswer(" {\"session\":\"x\",\"piecelen\":5}", session, blockSize);
  ReadInitAnswer("[1,2]", session, blockSize);
  ReadInitAnswer("", session, blockSize);
  EXPECT_EQ("abc", session);
  EXPECT_EQ(-1, blockSize);
}

TEST(ReadConflictAnswer, TakesErrorCodeAndExpect) {
  int32_t code = 5;
  std::string expect = "x";
  ReadConflictAnswer("{\"error_code\":1,\"expect\":\"32768\",\"error_code\":40900}", code, expect);
  EXPECT_EQ(40900, code);
  EXPECT_EQ("32768", expect);
  ReadConflictAnswer("{\"expect\":32768}", code, expect);
  EXPECT_EQ(0, code);
  EXPECT_EQ("", expect);
  ReadConflictAnswer("not json", code, expect);
  EXPECT_EQ(0, code);
}

TEST(ParseDecimal64, ReadsLikeTheCRuntime) {
  EXPECT_EQ(12345, ParseDecimal64("12345"));
  EXPECT_EQ(0, ParseDecimal64(""));
  EXPECT_EQ(-1, ParseDecimal64("-1"));
  EXPECT_EQ(uint64_t{0xFFFFFFFFFFFFFFFF}, static_cast<uint64_t>(ParseDecimal64("-1")));
  EXPECT_EQ(42, ParseDecimal64("  42abc"));
  EXPECT_EQ(int64_t{5} << 32, ParseDecimal64("21474836480"));
}

TEST(HeaderLines, RefusesALineLongerThanItsBuffer) {
  HeaderLines fits(10);
  fits.Add("%s", "123456789");  // nine characters and the terminator
  EXPECT_TRUE(fits.ok());
  HeaderLines cut(10);
  cut.Add("%s", "1234567890");
  EXPECT_FALSE(cut.ok());
  ASSERT_NE(nullptr, fits.list());
  EXPECT_STREQ("Expect:", fits.list()->data);
  ASSERT_NE(nullptr, fits.list()->next);
  EXPECT_STREQ("123456789", fits.list()->next->data);
}

TEST(PercentEncode, KeepsOnlyLettersAndDigits) {
  EXPECT_EQ("a%20b%2Etxt", PercentEncode("a b.txt"));
  EXPECT_EQ("Az09%2D%5F%7E%2F%E6%96%87", PercentEncode("Az09-_~/\xE6\x96\x87"));
  EXPECT_EQ("", PercentEncode(""));
}

TEST(PartSizeFor, GrowsWithTheFile) {
  EXPECT_EQ(32768u, PartSizeFor(0));
  EXPECT_EQ(32768u, PartSizeFor((uint64_t{1} << 30) - 1));
  EXPECT_EQ(65536u, PartSizeFor(uint64_t{1} << 30));
  EXPECT_EQ(65536u, PartSizeFor((uint64_t{1} << 35) - 1));
  EXPECT_EQ(524288u, PartSizeFor(uint64_t{1} << 35));
  EXPECT_EQ(524288u, PartSizeFor((uint64_t{1} << 40) - 1));
  EXPECT_EQ(1048576u, PartSizeFor(uint64_t{1} << 40));
}

TEST(HeaderLines, RefuseLineBreaksInValues) {
  // Session ids and hashes come from server answers; none may add header lines of its own.
  for (const char* value : {"sess\r\nX-Injected: 1", "sess\nX", "sess\r"}) {
    HeaderLines lines(kLineBuffer);
    lines.Add("x-zm-upload-session: %s", value);
    EXPECT_FALSE(lines.ok()) << value;
  }
  HeaderLines lines(kLineBuffer);
  lines.Add("x-zm-upload-session: %s", "sess-1");
  EXPECT_TRUE(lines.ok());
}

}  // namespace
}  // namespace plumet
