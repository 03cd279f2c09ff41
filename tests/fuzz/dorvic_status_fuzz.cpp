// The dorvic answer's head and error body: the status line reader (common/, shared by every
// client path) and the error members, each checked against a plain reading of what its header
// promises.
#include <cjson/cJSON.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/http_status_line.h"
#include "dorvic/src/answers.h"
#include "tests/fuzz/fuzz_reach.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// The status as common/http_status_line.h describes it: the final answer block starts at the last
// line that begins with "HTTP/" at the start of the text or after an empty line (lines end in
// "\n", a "\r" before it belongs to the ending), else the text itself; its first non-empty line;
// "HTTP/" in any case, a version of digits and dots, spaces, three digits from 100 to 599, then a
// space or nothing. -1 for any other line.
int ReferenceStatus(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    size_t length = end - at;
    if (length > 0 && text[end - 1] == '\r') --length;
    lines.push_back(text.substr(at, length));
    at = end + 1;
  }
  size_t head = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if ((i == 0 || lines[i - 1].empty()) && lines[i].compare(0, 5, "HTTP/") == 0) head = i;
  }
  while (head < lines.size() && lines[head].empty()) ++head;
  if (head == lines.size()) return -1;
  const std::string& line = lines[head];
  if (line.size() < 5 || strncasecmp(line.c_str(), "http/", 5) != 0) return -1;
  const size_t space = line.find(' ');
  if (space == std::string::npos || space == 5) return -1;
  if (line.find_first_not_of("0123456789.", 5) != space) return -1;
  const size_t code = line.find_first_not_of(' ', space);
  if (code == std::string::npos || line.size() < code + 3) return -1;
  for (size_t i = code; i < code + 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return -1;
  }
  if (line.size() > code + 3 && line[code + 3] != ' ') return -1;
  const int value = std::atoi(line.substr(code, 3).c_str());
  return value >= 100 && value <= 599 ? value : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz_reach::Counter statuses("status_lines_read");
  static fuzz_reach::Counter errors("error_bodies_read");
  const std::string text(reinterpret_cast<const char*>(data), size);
  const int status = plumet_text::FinalAnswerStatus(text).value_or(-1);
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
        code = std::isnan(t)    ? 0
               : t >= INT32_MAX ? INT32_MAX
               : t <= INT32_MIN ? INT32_MIN
                                : static_cast<int32_t>(t);
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
