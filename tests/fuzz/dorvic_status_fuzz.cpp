// The dorvic answer's head and error body: the status line reader and the error members, each
// checked against a plain reading of what answers.h promises.
#include <cjson/cJSON.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dorvic/src/answers.h"
#include "tests/fuzz/fuzz_reach.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// The status as answers.h describes it: the final answer block starts at the last line that
// begins with "HTTP/" at the start of the text or after an empty line (lines end in "\n", a "\r"
// before it belongs to the ending), else the text itself; its first non-empty "\r\n" line; the
// second of its space-separated words, read like atoi and held to int; -1 without two words.
int ReferenceStatus(const std::string& text) {
  size_t head = 0;
  bool blockStart = true;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t length = end - at;
    if (length > 0 && text[end - 1] == '\r') --length;
    if (length == 0) {
      blockStart = true;
    } else {
      if (blockStart && text.compare(at, 5, "HTTP/") == 0) head = at;
      blockStart = false;
    }
    at = end + 1;
  }
  std::string line;
  for (size_t at = head; at < text.size() && line.empty();) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    line = text.substr(at, end - at);
    at = end + 2;
  }
  std::string words[2];
  int found = 0;
  for (size_t at = 0; found < 2 && at < line.size(); ++at) {
    if (line[at] == ' ') continue;
    const size_t end = std::min(line.find(' ', at), line.size());
    words[found++] = line.substr(at, end - at);
    at = end;
  }
  if (found < 2) return -1;
  const long long code = std::strtoll(words[1].c_str(), nullptr, 10);
  return code > INT_MAX ? INT_MAX : code < INT_MIN ? INT_MIN : static_cast<int>(code);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter statuses("status_lines_read");
  static fuzz_reach::Counter errors("error_bodies_read");
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int status = dorvic::ParseHttpStatus(text);
  Require(status == ReferenceStatus(text));
  if (status != -1) statuses.Hit();
  // Decimal text like the C runtime's atoi64.
  Require(dorvic::ParseDecimal64(text.c_str()) == std::strtoll(text.c_str(), nullptr, 10));

  const dorvic::ServiceError error = dorvic::ParseServiceError(text);
  cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
  int32_t code = 0;
  const cJSON* message = nullptr;
  if (cJSON_IsObject(root)) {
    errors.Hit();
    // The last "error_code" as an integer truncated toward zero and held to 32 bits (true is 1);
    // the last string "error_msg".
    for (const cJSON* m = root->child; m != nullptr; m = m->next) {
      if (std::strcmp(m->string, "error_code") == 0) {
        const double t = cJSON_IsNumber(m) ? std::trunc(m->valuedouble) : cJSON_IsTrue(m) ? 1 : 0;
        code = std::isnan(t) ? 0 : t >= INT32_MAX ? INT32_MAX : t <= INT32_MIN ? INT32_MIN : static_cast<int32_t>(t);
      } else if (std::strcmp(m->string, "error_msg") == 0 && cJSON_IsString(m)) {
        message = m;
      }
    }
  }
  Require(error.code == code);
  if (message == nullptr) Require(error.message.empty());
  // Only scalar values, nothing past a NUL, and no more characters than the source has bytes.
  for (wchar_t wc : error.message) {
    const auto c = static_cast<uint32_t>(wc);
    Require(c != 0 && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF));
  }
  if (message) Require(error.message.size() <= std::strlen(message->valuestring));
  cJSON_Delete(root);
  return 0;
}
