#include "upload/upload_http.h"

#include <cjson/cJSON.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "common/answer_head.h"
#include "common/http_status_line.h"
#include "common/owned_json.h"
#include "common/result_codes.h"
#include "common/transport_settings.h"
#include "upload/upload_task.h"

namespace plumet {

namespace {

constexpr long kConnectTimeoutSeconds = plumet_transport::kConnectSeconds;
constexpr long kRequestTimeoutSeconds = 60;

// The integer that an answer member gives: a number cut to 32 bits, true gives 1, else 0.
int32_t IntegerValue(const cJSON* item) {
  if (cJSON_IsNumber(item)) return item->valueint;
  if (cJSON_IsTrue(item)) return 1;
  return 0;
}

// Parses a JSON object answer; null when the body does not start with "{" or does not parse.
plumet_common::JsonPtr ParseObjectAnswer(const std::string& body) {
  if (body.empty() || body[0] != '{') return nullptr;
  plumet_common::JsonPtr root(cJSON_ParseWithLength(body.data(), body.size()));
  if (root != nullptr && !cJSON_IsObject(root.get())) return nullptr;
  return root;
}

// libcurl progress callback: a stop request ends any transfer at once, not only the bodies that
// the read callbacks serve, so that an owner never waits for a stalled answer.
int AbortOnStop(void* task, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<CUploadTask*>(task)->stopRequested.load() ? 1 : 0;
}

}  // namespace

size_t AppendToString(char* data, size_t size, size_t count, void* target) {
  const size_t total = size * count;
  static_cast<std::string*>(target)->append(data, total);
  return total;
}

std::map<std::string, std::string> ParseHeaderMap(const std::string& collected) {
  const std::string headerText(plumet_text::FinalAnswerHead(collected));
  std::map<std::string, std::string> headers;
  auto split = [](const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find(separator, start);
      if (end == std::string::npos) end = text.size();
      if (end > start) parts.push_back(text.substr(start, end - start));
      start = end + separator.size();
    }
    return parts;
  };
  for (const std::string& segment : split(headerText, "\r\n")) {
    std::vector<std::string> parts = split(segment, ": ");
    if (parts.size() != 2) continue;
    // Names are case-insensitive; over HTTP/2 they arrive in lower case.
    std::string name = parts[0];
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    headers[name] = parts[1];
  }
  return headers;
}

bool CheckServerHeader(const std::string& headerText) {
  const std::map<std::string, std::string> headers = ParseHeaderMap(headerText);
  auto it = headers.find("x-server");
  return it != headers.end() && it->second == "ZELMIC";
}

HeaderLines::HeaderLines(size_t bufferSize) : bufferSize_(bufferSize) {
  // An empty Expect header: libcurl must never wait for an interim 100 answer.
  list_ = curl_slist_append(nullptr, "Expect:");
  if (list_ == nullptr) ok_ = false;
}

HeaderLines::~HeaderLines() { curl_slist_free_all(list_); }

void HeaderLines::Add(const char* format, ...) {
  if (!ok_) return;
  std::vector<char> buffer(bufferSize_);
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer.data(), buffer.size(), format, args);
  va_end(args);
  if (length < 0 || static_cast<size_t>(length) >= buffer.size()) {
    ok_ = false;
    return;
  }
  // The values come from server answers (session, upload hash) and the token: a line break in
  // one would smuggle further header lines into the request.
  if (std::string_view(buffer.data(), static_cast<size_t>(length)).find_first_of("\r\n") !=
      std::string_view::npos) {
    ok_ = false;
    return;
  }
  curl_slist* appended = curl_slist_append(list_, buffer.data());
  if (appended == nullptr) {
    ok_ = false;
    return;
  }
  list_ = appended;
}

void PrepareUploadRequest(CUploadTask& task, const std::string& url, bool timeLimited,
                          std::string& headerText, std::string& bodyText) {
  CURL* curl = task.curl;
  curl_easy_reset(curl);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  if (timeLimited) curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
  // The parts, the match list and the checksum list have no overall limit (their size has none),
  // but a connection that stops moving ends the attempt, and the retry rules take over.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, plumet_transport::kStallBytesPerSecond);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, task.stallSeconds);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Proxy, certificates, no CONNECT answer among the headers, and no redirect: "/upload_init"
  // carries the token, which libcurl would send on to whatever host a redirect names.
  plumet_transport::ApplyTransportSettings(curl, url, task.transport);
  curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, AppendToString);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headerText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendToString);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bodyText);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUploadUserAgent);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, AbortOnStop);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &task);
}

bool EvaluateAnswer(CUploadTask& task, CURLcode result, const std::string& headerText) {
  task.unidentifiedAnswer = false;
  if (result != CURLE_OK) {
    task.status = plumet_codes::kTransportFailure;
    return false;
  }
  const std::optional<int> read = plumet_text::FinalAnswerStatus(headerText);
  if (!read) {
    task.status = kStatusNoAnswer;
    return false;
  }
  const int32_t code = *read;
  task.status = code;
  // Every success status (202 "all held", 205 "no delta" included) counts only from the upload
  // server itself: anything else answering on its address must not make the owner believe the
  // content is stored.
  if (code >= 200 && code < 300 && !CheckServerHeader(headerText)) {
    task.status = kStatusNotOurServer;
    task.unidentifiedAnswer = true;
    return false;
  }
  return code == 200;
}

int64_t ParseDecimal64(const std::string& text) {
  // strtoll reads exactly the leading-space, sign, digits form and gives 0 without digits.
  return static_cast<int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

void ReadInitAnswer(const std::string& body, std::string& uploadSession, int64_t& blockSize) {
  const plumet_common::JsonPtr root = ParseObjectAnswer(body);
  if (root == nullptr) return;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (item->string == nullptr) continue;
    const std::string name = item->string;
    if (name == "session" && cJSON_IsString(item)) {
      uploadSession = item->valuestring;
    } else if (name == "piecelen") {
      blockSize = IntegerValue(item);
    }
  }
}

void ReadConflictAnswer(const std::string& body, int32_t& errorCode, std::string& expect) {
  errorCode = 0;
  expect.clear();
  const plumet_common::JsonPtr root = ParseObjectAnswer(body);
  if (root == nullptr) return;
  for (const cJSON* item = root->child; item != nullptr; item = item->next) {
    if (item->string == nullptr) continue;
    const std::string name = item->string;
    if (name == "error_code") {
      errorCode = IntegerValue(item);
    } else if (name == "expect" && cJSON_IsString(item)) {
      expect = item->valuestring;
    }
  }
}

}  // namespace plumet
