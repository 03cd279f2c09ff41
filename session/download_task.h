#pragma once
// One download of a file's content into its local copy, on a thread of its own. The copy is the
// user's file only when the transfer really delivered it: final status 2xx, the announced length,
// and the announced SHA-1 when there is one. Anything else reports kFailed, never a half file.

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "common/owned_digest.h"
#include "common/transport_settings.h"
#include "platform/event.h"
#include "platform/file.h"
#include "session/edit_session.h"
#include "session/session_ports.h"

namespace plumet {

class DownloadTask : public SessionTask {
 public:
  explicit DownloadTask(std::recursive_mutex& sessionLock);
  // Asks the transfer to stop (it notices within a second, stalled or not), waits for the
  // thread and joins it. Safe with the session lock held.
  ~DownloadTask() override;
  void RequestStop() override { cancelled_.store(true); }

  // Creates or truncates the local copy (0600, not through a symlink). False when it cannot.
  bool Open(const DownloadRequest& request, DownloadFinished finished);
  // Starts the thread. False when it could not be created.
  bool Start();

  // Connect and stall limits of the transfer; set before Start (tests lower them).
  plumet_transport::ProgressLimits limits;

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnData(char* data, size_t size, size_t count, void* self);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  void Run();
  DownloadOutcome Check(CURLcode result);

  std::recursive_mutex& sessionLock_;
  CURL* curl_ = nullptr;
  DownloadRequest request_;
  DownloadFinished finished_;
  std::atomic<bool> cancelled_{false};
  platform::AutoResetEvent doneEvent_;
  std::thread thread_;
  std::string statusLine_;  // of the response being received (the last one wins)
  long status_ = 0;
  uint64_t received_ = 0;
  plumet_common::DigestCtx sha1_;
  platform::File file_;
  std::string cause_;
};

}  // namespace plumet
