#pragma once
// What an operation contributes to the request cycle.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/result_codes.h"

namespace dorvic {

struct Request {
  std::string verb;    // sent as the method; signed in lowercase
  std::wstring token;  // begins the Authorization value
  std::wstring path;   // remote path, encoded by EncodePath
  std::string query;   // appended to the encoded path, e.g. "?v=7"; signed with it
  int32_t mount = 0;
  std::string body;                  // sent as post data with its exact length
  std::vector<std::string> headers;  // the operation's own lines, after the common ones
};

inline Request MakeRequest(const char* verb, const std::wstring& token, const std::wstring& path,
                           int32_t mount) {
  Request request;
  request.verb = verb;
  request.token = token;
  request.path = path;
  request.mount = mount;
  return request;
}

// Reads the body of a 200 answer into the operation's out-parameters.
using AnswerReader = std::function<void(const std::string& body)>;

// Code of every transport failure.

}  // namespace dorvic
