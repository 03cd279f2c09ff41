#pragma once
// The HTTP side shared by every request to the upload server: the common handle set-up, the
// collection of header and body bytes, the reading of the status line and of the identity header,
// and the result code each request leaves in its task.

#include <curl/curl.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "common/result_codes.h"
#include "common/text_utf.h"

namespace plumet {

class CUploadTask;

// Result codes kept in CUploadTask::status beside the HTTP statuses.
inline constexpr int32_t kStatusNoAnswer = 0;        // no readable status line
inline constexpr int32_t kStatusNotOurServer = 500;  // 2xx without the identity header

// The fixed User-Agent of every upload request.
inline constexpr const char* kUploadUserAgent = "7d2c9e41b0a85f3e6c17d4a92b08e5f3c61a7d90";

// Formatting buffers of the header lines: "/upload_init" carries the token and needs more room.
inline constexpr size_t kInitLineBuffer = 4000;
inline constexpr size_t kLineBuffer = 1000;

// libcurl write and header callback: appends everything to the std::string at `target`.
size_t AppendToString(char* data, size_t size, size_t count, void* target);

// Header lines of the final answer split at CRLF and at ": "; names are case-insensitive and kept
// in lower case ("x-server"), and the last occurrence wins.
std::map<std::string, std::string> ParseHeaderMap(const std::string& headerText);

// True only for the header "X-SERVER" (any case) with exactly the value "ZELMIC".
bool CheckServerHeader(const std::string& headerText);

// The own header lines of one request, after the leading "Expect:". A line that does not fit its
// buffer is never cut, and one that would hold a CR or LF is refused: the list is marked broken
// and the request must not be sent.
class HeaderLines {
 public:
  explicit HeaderLines(size_t bufferSize);
  ~HeaderLines();
  HeaderLines(const HeaderLines&) = delete;
  HeaderLines& operator=(const HeaderLines&) = delete;

  void Add(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool ok() const { return ok_; }
  curl_slist* list() const { return list_; }

 private:
  size_t bufferSize_;
  bool ok_ = true;
  curl_slist* list_ = nullptr;
};

// Resets the task's handle and applies the options every upload request shares: time limits (the
// overall one only when `timeLimited`; the connect limit and the stall limit, task.stallSeconds
// below one byte per second, always), no signals, the task's transport settings (redirects are
// not followed), collection of header and body text, URL and User-Agent. The caller adds its body
// and header list.
void PrepareUploadRequest(CUploadTask& task, const std::string& url, bool timeLimited,
                          std::string& headerText, std::string& bodyText);

// The common answer rule: sets task.status and tells whether the request succeeded (200 from a
// server that identifies itself). Any 2xx without the identity header becomes
// kStatusNotOurServer, with task.unidentifiedAnswer set.
bool EvaluateAnswer(CUploadTask& task, CURLcode result, const std::string& headerText);

// The engine keeps texts as UTF-32 and sends UTF-8.
using plumet_text::ToUtf8;

// A signed 64-bit decimal read the way the C runtime's atoi-family reads it: leading white space,
// an optional sign, digits up to the first non-digit; no digits give 0.
int64_t ParseDecimal64(const std::string& text);

// The answers that carry JSON. The body must begin with "{"; anything else changes nothing.
// "/upload_init": "session" (a string) and "piecelen" (an integer).
void ReadInitAnswer(const std::string& body, std::string& uploadSession, int64_t& blockSize);
// "/upload_part" 409: "error_code" (integer, 0 when absent) and "expect" (string, empty when
// absent).
void ReadConflictAnswer(const std::string& body, int32_t& errorCode, std::string& expect);

}  // namespace plumet
