#include "dorvic/src/answers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "dorvic/src/text.h"

namespace dorvic {

size_t AppendData(char* data, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  static_cast<std::string*>(target)->append(data, n);
  return n;
}

ServiceError ParseServiceError(const std::string& body) {
  ServiceError error;
  JsonPtr root = ParseJsonObject(body);
  if (!root) return error;
  for (const cJSON* m = root->child; m != nullptr; m = m->next) {
    if (m->string == nullptr) continue;
    if (std::strcmp(m->string, "error_code") == 0) {
      error.code = JsonInt(m);
    } else if (std::strcmp(m->string, "error_msg") == 0) {
      JsonText(m, &error.message);
    }
  }
  return error;
}

JsonPtr ParseJson(const std::string& body) {
  return JsonPtr(cJSON_ParseWithLength(body.data(), body.size()));
}

JsonPtr ParseJsonObject(const std::string& body) {
  JsonPtr root = ParseJson(body);
  if (!root || !cJSON_IsObject(root.get())) return JsonPtr();
  return root;
}

int64_t JsonInt64(const cJSON* item) {
  if (item == nullptr) return 0;
  if (cJSON_IsTrue(item)) return 1;
  if (!cJSON_IsNumber(item)) return 0;
  const double v = std::trunc(item->valuedouble);
  if (std::isnan(v)) return 0;
  // 2^63 is exactly representable; anything at or above it does not fit.
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

int32_t JsonInt(const cJSON* item) {
  const int64_t v = JsonInt64(item);
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

void JsonText(const cJSON* item, std::wstring* field) {
  if (cJSON_IsString(item) && item->valuestring != nullptr) *field = FromUtf8(item->valuestring);
}

int64_t ParseDecimal64(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Magnitudes are accumulated as negatives so that INT64_MIN itself is reachable.
  int64_t value = 0;
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  bool overflow = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const int digit = *p - '0';
    if (!overflow) {
      if (value < (kMin + digit) / 10) {
        overflow = true;
      } else {
        value = value * 10 - digit;
      }
    }
  }
  if (overflow) return negative ? kMin : std::numeric_limits<int64_t>::max();
  if (negative) return value;
  return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

void JsonDecimalText(const cJSON* item, int64_t* field) {
  if (cJSON_IsString(item) && item->valuestring != nullptr)
    *field = ParseDecimal64(item->valuestring);
}

}  // namespace dorvic
