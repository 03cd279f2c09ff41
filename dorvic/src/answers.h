#pragma once
// Reading the service's answers: the error members and JSON member values (the status line is
// common/http_status_line.h).

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/owned_json.h"

namespace dorvic {

// libcurl header and write callback: appends size*count bytes to the std::string at `target`.
size_t AppendData(char* data, size_t size, size_t count, void* target);

// The error members of a failed answer's body.
struct ServiceError {
  int32_t code = 0;      // "error_code", 0 when absent
  std::wstring message;  // "error_msg" when it is a string, else empty
};
ServiceError ParseServiceError(const std::string& body);

using plumet_common::JsonPtr;

// Parses `body` (which need not be NUL-terminated inside). Null when it is no JSON document.
JsonPtr ParseJson(const std::string& body);

// Parses `body` and returns it only when its root is an object.
JsonPtr ParseJsonObject(const std::string& body);

// The integer value of any member: numbers truncated toward zero and held to the 32-bit range,
// true 1, everything else 0.
int32_t JsonInt(const cJSON* item);

// The integer value of a number member truncated toward zero and held to the 64-bit range;
// true 1, everything else 0.
int64_t JsonInt64(const cJSON* item);

// Assigns the member's text to `field` only when the member is a string.
void JsonText(const cJSON* item, std::wstring* field);

// Decimal text like the C runtime's atoi64: optional leading white space and sign, then the leading
// digits; 0 without digits; held to the 64-bit range.
int64_t ParseDecimal64(const char* text);

// Assigns ParseDecimal64 of the member's text to `field` only when the member is a string.
void JsonDecimalText(const cJSON* item, int64_t* field);

}  // namespace dorvic
