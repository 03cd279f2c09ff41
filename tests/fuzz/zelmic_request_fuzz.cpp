// zelmicd's reading of what a client sends: request paths (percent-encoded and plain), the
// Authorization value, the Date text, integer header values, form bodies and queries, address
// lists, the upload headers' decimals and ranges, and the admin endpoint's scripted answers.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "service/api_request.h"
#include "service/auth.h"
#include "service/faults.h"
#include "service/paths.h"
#include "service/request_forms.h"
#include "service/upload/upload_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string path, error, decoded, token, signature;
  bool folder = false;
  (void)zelmic::DecodeRequestPath(text, path, folder, error);
  (void)zelmic::NormalisePath(text, path, error);
  (void)zelmic::ResolvePath("/docs", text, path, error);
  (void)zelmic::PercentDecode(text, decoded);
  (void)zelmic::IsValidUtf8(text);
  if (zelmic::SplitAuthorization(text, token, signature)) (void)zelmic::SameSecret(token, signature);
  time_t wall = 0;
  if (zelmic::ParseRequestDate(text, wall)) (void)zelmic::DatePlausible(wall, std::time(nullptr));
  long long number = 0;
  (void)zelmic::ParseInt(text, INT32_MIN, INT32_MAX, number);
  zelmic::FormPairs form;
  if (zelmic::ParseForm(text, form)) {
    for (const char* name : {"message", "email", "day_limit", "v"}) {
      if (const std::string* value = zelmic::FormValue(form, name)) {
        std::vector<std::string> emails;
        (void)zelmic::ParseEmails(*value, true, emails);
        (void)zelmic::PercentDecode(*value, decoded);
      }
    }
  }
  std::vector<std::string> emails;
  (void)zelmic::ParseEmails(text, false, emails);
  uint64_t first = 0, last = 0;
  (void)zelmic::ParseDecimal(text, first);
  (void)zelmic::ParseRange(text, first, last);
  std::string endpoint;
  zelmic::ScriptedAnswer answer;
  (void)zelmic::ParseScriptedAnswer(text, endpoint, answer, error);
  return 0;
}
