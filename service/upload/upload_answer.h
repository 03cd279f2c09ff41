#pragma once
// A request to the upload server as the protocol code sees it, and the answer it gives, so the
// protocol can be written and reasoned about without the HTTP library.

#include <cstdint>
#include <map>
#include <string>

namespace zelmic {

struct UploadRequest {
  std::string method;
  std::string path;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool body_too_long = false;  // more bytes arrived than the request may carry; body is cut
  uint32_t body_crc = 0;       // CRC-32 of body, computed while it arrived

  // The header's value, or nullptr when the request has none.
  const std::string* header(const std::string& lower_name) const {
    auto it = headers.find(lower_name);
    return it == headers.end() ? nullptr : &it->second;
  }
};

struct UploadAnswer {
  unsigned status = 200;
  std::string body;
  std::string content_type = "text/plain";
};

// Error answers: {"error_code": code, "error_msg": message}.
UploadAnswer ErrorAnswer(unsigned status, int code, const std::string& message);
// 409 with error code 40900 and the offset the content must go on at, as a decimal string.
UploadAnswer ExpectAnswer(uint64_t held);

// Strict unsigned decimal: digits only, no sign, no spaces, no overflow.
bool ParseDecimal(const std::string& text, uint64_t& value);

// "A-B" of x-zm-upload-range: two strict decimals, both inclusive, A <= B.
bool ParseRange(const std::string& text, uint64_t& first, uint64_t& last);

}  // namespace zelmic
