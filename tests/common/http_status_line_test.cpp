// The status line of the final answer, as the REST library, the upload engine, the token exchange
// and the download read it.

#include "common/http_status_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace plumet_text {
namespace {

constexpr std::optional<int> kNone = std::nullopt;

TEST(FinalAnswerStatus, ReadsOnlyWellFormedStatusLines) {
  struct Case {
    std::string headers;
    std::optional<int> status;
  } cases[] = {
      // The final answer's line counts.
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", 200},
      {"HTTP/1.1 404 Not Found\r\n\r\n", 404},
      {"HTTP/1.0 404 Not Found\r\n", 404},
      {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\n", 200},
      {"HTTP/1.1 200 OK\r\nX-SERVER: ZELMIC\r\n\r\n", 200},
      {"HTTP/1.1 400 Bad  Request Here\r\n", 400},
      {"http/1.1 204\r\n", 204},
      // Empty lines before it never count.
      {"\r\n\r\nHTTP/1.0 500 Internal Server Error\r\n", 500},
      {"\r\n\r\nHTTP/1.1   202   Accepted\r\n", 202},
      // A proxy's answer to CONNECT, or an interim answer, is not the service's.
      {"HTTP/1.1 200 Connection established\r\n\r\nHTTP/2 404\r\ncontent-type: "
       "application/json\r\n\r\n",
       404},
      {"HTTP/1.1 200 Connection established\r\n\r\nHTTP/2 401\r\nx-server: ZELMIC\r\n\r\n", 401},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 401 Unauthorized\r\n\r\n", 401},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 409 Conflict\r\n\r\n", 409},
      // A lone line feed ends the line as well.
      {"HTTP/1.1 409 Conflict\nX-SERVER: ZELMIC\n\n", 409},
      {"HTTP/2 204\nx-server: 7", 204},
      // The reason phrase may be missing; spaces around the code are one separator.
      {"HTTP/2 200\r\ncontent-type: application/json\r\n\r\n", 200},
      {"HTTP/2 200\r\ncontent-type: application/json\r\n", 200},
      {"HTTP/2 200\r\n", 200},
      {"HTTP/1.1 200\r\n\r\n", 200},
      {"HTTP/1.1 200 \r\n\r\n", 200},
      {"HTTP/1.1 200 \r\n", 200},
      {"HTTP/2 404\r\n\r\n", 404},
      {"HTTP/1.1   201   Created\r\n", 201},
      // No line, or no code on it.
      {"", kNone},
      {"\r\n\r\n", kNone},
      {"garbage\r\n", kNone},
      {"HTTP/1.1\r\n", kNone},
      {"HTTP/1.1\r\nX-SERVER: ZELMIC\r\n", kNone},
      {"HTTP/1.1 \r\n", kNone},
      {"   HTTP/1.1   \r\n", kNone},
      // A code is three digits standing alone, never the digits an atoi would find.
      {"HTTP/1.1 abc OK\r\n", kNone},
      {"HTTP/1.1 abc\r\n", kNone},
      {"HTTP/1.1 200abc OK\r\n", kNone},
      {"HTTP/1.1 20\r\n", kNone},
      {"HTTP/1.1 2000\r\n", kNone},
      {"HTTP/1.1 99999999999999999999 OK\r\n", kNone},
      {"HTTP/1.1 4294967496 OK\r\n", kNone},
      // Only 100 to 599 are statuses.
      {"HTTP/1.1 100 Continue\r\n", 100},
      {"HTTP/1.1 599 x\r\n", 599},
      {"HTTP/1.1 099 x\r\n", kNone},
      {"HTTP/1.1 600 x\r\n", kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, FinalAnswerStatus(c.headers)) << c.headers;
}

}  // namespace
}  // namespace plumet_text
