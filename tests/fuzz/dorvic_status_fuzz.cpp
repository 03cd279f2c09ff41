// The dorvic answer's head and error body: the status line reader and the error members.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dorvic/src/answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)dorvic::ParseHttpStatus(text);
  (void)dorvic::ParseServiceError(text);
  return 0;
}
