#include "service/upload/upload_answer.h"

#include <cjson/cJSON.h>

#include <charconv>
#include <memory>

#include "common/owned_json.h"

namespace zelmic {

namespace {

UploadAnswer JsonAnswer(unsigned status, cJSON* root) {
  UploadAnswer answer;
  answer.status = status;
  answer.content_type = "application/json";
  answer.body = plumet_common::PrintJson(plumet_common::JsonPtr(root).get());
  return answer;
}

}  // namespace

UploadAnswer ErrorAnswer(unsigned status, int code, const std::string& message) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddNumberToObject(root, "error_code", code);
  cJSON_AddStringToObject(root, "error_msg", message.c_str());
  return JsonAnswer(status, root);
}

UploadAnswer ExpectAnswer(uint64_t held) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddNumberToObject(root, "error_code", 40900);
  cJSON_AddStringToObject(root, "expect", std::to_string(held).c_str());
  return JsonAnswer(409, root);
}

bool ParseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

bool ParseRange(const std::string& text, uint64_t& first, uint64_t& last) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  return ParseDecimal(text.substr(0, dash), first) && ParseDecimal(text.substr(dash + 1), last) &&
         first <= last;
}

}  // namespace zelmic
