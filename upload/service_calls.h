#pragma once
// The REST calls of the upload worker, and what a failed one means for the upload.
//
// The REST library keeps one last error for the whole process: a failed request writes it, a
// successful one leaves it as it was, and nothing ties it to the thread that made the request. A
// worker reading it after its own call failed may thus read another thread's failure. Every call
// the engine makes goes through CallService, which holds ServiceCallLock() from the request until
// the error is read, so that two workers never interleave there. A caller outside the engine that
// fails a request in that window can still overwrite the error unless it takes the same lock.

#include <dorvic/dorvic.h>

#include <cstdint>
#include <mutex>

#include "upload/upload_job.h"

namespace plumet {

std::mutex& ServiceCallLock();

// Runs `call` (a dorvic operation) and, when it fails, reads the library's last error code into
// `code`, both under ServiceCallLock(). `code` is left alone on success.
template <typename Call>
bool CallService(Call&& call, int32_t& code) {
  std::lock_guard<std::mutex> hold(ServiceCallLock());
  if (call()) return true;
  code = dorvic_get_last_error_code();
  return false;
}

// How a refused registration ends: kPermanent when the service refused the request itself (a
// malformed request, no permission, a path it does not take, a file too large), kRetry for
// everything that may heal (no answer, the service's own failures, an expired token, a lock).
UploadEnd RegistrationEnd(int32_t code);

// No answer, the service's own failure (5xx), or a request to come back later (408, 429): asking
// again later may succeed.
bool IsServiceTrouble(int32_t code);

// The service said the file does not exist (any more).
bool IsNoSuchFile(int32_t code);

}  // namespace plumet
