// The upload engine's reading of an answer: status, header map, identity check, and the bodies of
// "/upload_init", "/upload_req" and a 409 (its "expect" offset). The input is the header text, a
// NUL byte, then the body.
#include <cstddef>
#include <cstdint>
#include <string>

#include "upload/upload_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string head = input.substr(0, split);
  const std::string body = split == std::string::npos ? input : input.substr(split + 1);
  int32_t code = 0;
  (void)plumet::ParseStatusCode(head, code);
  (void)plumet::ParseHeaderMap(head);
  (void)plumet::CheckServerHeader(head);
  std::string session;
  int64_t blockSize = 0;
  plumet::ReadInitAnswer(body, session, blockSize);
  (void)plumet::ParseDecimal64(body);
  int32_t errorCode = 0;
  std::string expect;
  plumet::ReadConflictAnswer(body, errorCode, expect);
  (void)plumet::ParseDecimal64(expect);
  return 0;
}
