#include "upload/service_calls.h"

#include "common/result_codes.h"

namespace plumet {

namespace {

constexpr int32_t kFolderInTheWay = 40903;
constexpr int32_t kFileInTheWay = 40904;
constexpr int32_t kNoSuchFile = 40400;

// The service answers five-digit codes whose first three digits are the HTTP status; a service
// that sends no code leaves the library the bare status.
int32_t HttpStatusOf(int32_t code) {
  if (code >= 10000 && code < 60000 && code != plumet_codes::kTransportFailure) return code / 100;
  return code;
}

}  // namespace

std::mutex& ServiceCallLock() {
  static std::mutex lock;
  return lock;
}

UploadEnd RegistrationEnd(int32_t code) {
  if (code == kFolderInTheWay || code == kFileInTheWay) return UploadEnd::kPermanent;
  switch (HttpStatusOf(code)) {
    case 400:  // the same request is refused the same way again
    case 403:  // no access to the mount, or a token limited to another file
    case 413:  // too large for the service
      return UploadEnd::kPermanent;
    default:
      return UploadEnd::kRetry;
  }
}

bool IsServiceTrouble(int32_t code) {
  const int32_t status = HttpStatusOf(code);
  return code == plumet_codes::kTransportFailure || status == 408 || status == 429 ||
         (status >= 500 && status < 600);
}

bool IsNoSuchFile(int32_t code) { return code == kNoSuchFile || code == 404; }

}  // namespace plumet
